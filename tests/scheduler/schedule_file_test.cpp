// The schedule file: its layout, lines the reader ignores, and input it must survive.
#include "scheduler/schedule_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/log.h"
#include "tests/support/temp_dir.h"

namespace orvane::sched {
namespace {

// Collects warnings.
void collect(void* context, const char* text, int level, int) {
    if (level == kLevelWarning) static_cast<std::vector<std::string>*>(context)->push_back(text);
}

Task sample(int n) {
    Task t;
    t.created = "20260101000000";
    t.next_run = "2027010112" + std::to_string(1000 + n).substr(0, 4);
    t.recurring = 1;
    t.interval = 5;
    t.unit = kUnitDay;
    t.launch.editor_text1 = "editor one";
    t.launch.program = "/usr/bin/orvaneftp";
    t.launch.arguments = "-s:\"/srv/jobs/night job.txt\"";
    t.launch.output_file = "/var/log/job.txt";
    t.launch.capture_output = 1;
    t.launch.append = 1;
    t.launch.rollover = 1;
    t.launch.rollover_size = 4000000000u;
    t.launch.editor_number3 = 7;
    t.launch.editor_number4 = 8;
    t.launch.editor_text2 = "two";
    t.launch.editor_text3 = "three";
    return t;
}

// The twenty lines of a task, CR LF each.
std::string task_lines(const Task& t) {
    std::string s = schedule_text({t});
    return s.substr(s.find(kTaskMarker));
}

struct ReadCase {
    const char* name;
    std::string file;
    std::vector<Task> tasks;
    size_t warnings;
};

class ScheduleFile : public ::testing::Test {
  protected:
    void SetUp() override { set_output_sink(collect, &warnings_); }
    void TearDown() override { set_output_sink(nullptr, nullptr); }
    std::vector<Task> read(const std::string& content) {
        warnings_.clear();
        test::write_all(dir_.file("s.ssi"), content);
        std::vector<Task> out;
        EXPECT_EQ(read_schedule(dir_.file("s.ssi"), out), 0);
        return out;
    }
    test::TempDir dir_;
    std::vector<std::string> warnings_;
};

TEST_F(ScheduleFile, WrittenAsDesignedAndReadBack) {
    std::vector<Task> tasks{sample(1), sample(2)};
    std::string text = schedule_text(tasks);
    EXPECT_EQ(text.substr(0, 40), "INIVER+!~*#$\r\n3\r\nSCHTASK+!~*#$\r\n20260101");
    EXPECT_NE(text.find("\r\n1\r\n5\r\n13\r\neditor one\r\n101\r\n/usr/bin/orvaneftp\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("\r\n4000000000\r\n7\r\n8\r\ntwo\r\nthree\r\n"), std::string::npos);
    std::string error;
    test::write_all(dir_.file("s.ssi"), "old");
    std::filesystem::permissions(dir_.file("s.ssi"),
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    ASSERT_EQ(write_schedule(dir_.file("s.ssi"), tasks, &error), 0) << error;
    EXPECT_EQ(test::read_all(dir_.file("s.ssi")), text);
    // Replaced in one step, keeping the old file's mode, with nothing left beside it.
    EXPECT_EQ(std::filesystem::status(dir_.file("s.ssi")).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("s.ssi.new")));
    EXPECT_EQ(write_schedule(dir_.file("none/s.ssi"), tasks, &error), 1);
    EXPECT_EQ(error, dir_.file("none/s.ssi.new") + ": No such file or directory");
    std::vector<Task> back;
    EXPECT_EQ(read_schedule(dir_.file("s.ssi"), back), 0);
    EXPECT_EQ(back, tasks);
    EXPECT_TRUE(warnings_.empty());
    EXPECT_EQ(read_schedule(dir_.file("missing.ssi"), back), 1);
    EXPECT_TRUE(back.empty());
}

TEST_F(ScheduleFile, ReadsWhatItCanAndWarnsAboutTheRest) {
    const Task a = sample(1), b = sample(2);
    std::string a_lines = task_lines(a), b_lines = task_lines(b);
    Task long_fields = sample(3);
    long_fields.launch.editor_text1 = std::string(500, 'p');
    long_fields.launch.editor_text3 = std::string(9000, 't');  // longer than a line, too
    Task cut_fields = long_fields;
    cut_fields.launch.editor_text1.resize(kEditorText1Width);
    cut_fields.launch.editor_text3.resize(kEditorText3Width);
    Task long_command = sample(6);
    long_command.launch.arguments = std::string(kArgumentsWidth + 1, 'a');
    Task odd_numbers = sample(4);
    std::string odd = task_lines(odd_numbers);
    odd.replace(odd.find("\r\n5\r\n13\r\n"), 9, "\r\n5x\r\n99999999999999\r\n");
    odd_numbers.unit = UINT32_MAX;  // read saturating, dropped when it runs
    std::string binary;
    for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 7919) & 0xff);

    const ReadCase cases[] = {
        {"empty", "", {}, 0},
        {"markers only", "INIVER+!~*#$\r\n", {}, 0},
        {"junk before the first marker, extra lines after a task",
         "junk\r\nmore junk\r\nINIVER+!~*#$\r\n3\r\n" + a_lines + "extra\r\nlines\r\n" + b_lines,
         {a, b},
         0},
        {"every line end",
         "INIVER+!~*#$\n3\r" +
             [&] {
                 std::string s = a_lines;
                 for (size_t p; (p = s.find("\r\n")) != std::string::npos;) s.replace(p, 2, "\n\r");
                 return s;
             }(),
         {a},
         0},
        {"no version block", a_lines, {a}, 0},
        {"truncated mid-task", a_lines + b_lines.substr(0, b_lines.size() / 2), {a}, 1},
        {"a marker inside a task", a_lines.substr(0, a_lines.find("editor one")) + b_lines, {b}, 1},
        {"next run not a time",
         [&] {
             std::string s = a_lines;
             s.replace(s.find(a.next_run), 14, "2026130112x000");
             return s;
         }(),
         {},
         1},
        {"fields longer than their widths", task_lines(long_fields), {cut_fields}, 1},
        {"a command that would have to be cut", task_lines(long_command) + task_lines(a), {a}, 1},
        {"numbers out of range", odd + b_lines, {odd_numbers, b}, 1},
        {"binary", binary + "\r\n" + a_lines + binary, {a}, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(read(c.file), c.tasks) << c.name;
        EXPECT_EQ(warnings_.size(), c.warnings) << c.name;
    }
}

TEST_F(ScheduleFile, MoreThanOneHundredThousandTasksAreAllRead) {
    std::string one = task_lines(sample(5));
    std::string text = "INIVER+!~*#$\r\n3\r\n";
    const size_t n = 100003;
    text.reserve(one.size() * n);
    for (size_t i = 0; i < n; ++i) text += one;
    EXPECT_EQ(read(text).size(), n);
    EXPECT_TRUE(warnings_.empty());
}

TEST_F(ScheduleFile, TasksSetAsideAreWrittenBackAsTheyWere) {
    const Task a = sample(1);
    std::string bad_time = task_lines(sample(2));
    bad_time.replace(bad_time.find(sample(2).next_run), 14, "2026130112x000");
    std::string cut = task_lines(sample(3)).substr(0, 120);
    cut.resize(cut.rfind("\r\n") + 2);  // cut inside the task, at a line end
    test::write_all(dir_.file("s.ssi"), "INIVER+!~*#$\r\n3\r\n" + bad_time + task_lines(a) + cut);
    std::vector<Task> tasks;
    std::string kept;
    ASSERT_EQ(read_schedule(dir_.file("s.ssi"), tasks, &kept), 0);
    EXPECT_EQ(tasks, std::vector<Task>{a});
    EXPECT_EQ(kept, bad_time + cut);
    EXPECT_EQ(warnings_.size(), 2u);
    // Written back and read again: the same tasks run, the same lines stay aside.
    std::string error;
    ASSERT_EQ(write_schedule(dir_.file("s.ssi"), tasks, &error, kept), 0) << error;
    std::string again;
    ASSERT_EQ(read_schedule(dir_.file("s.ssi"), tasks, &again), 0);
    EXPECT_EQ(tasks, std::vector<Task>{a});
    EXPECT_EQ(again, kept);
}

TEST_F(ScheduleFile, SavedInPlaceThroughALinkAndInAFolderItMayNotWrite) {
    const std::vector<Task> one{sample(1)}, two{sample(1), sample(2)};
    std::string error;
    ASSERT_EQ(write_schedule(dir_.file("real.ssi"), one, &error), 0) << error;
    std::filesystem::create_symlink(dir_.file("real.ssi"), dir_.file("s.ssi"));
    ASSERT_EQ(write_schedule(dir_.file("s.ssi"), two, &error), 0) << error;
    EXPECT_TRUE(std::filesystem::is_symlink(dir_.file("s.ssi")));
    EXPECT_EQ(test::read_all(dir_.file("real.ssi")), schedule_text(two));
    ASSERT_EQ(write_schedule(dir_.file("s.ssi"), one, &error), 0) << error;  // shorter: cut to length
    EXPECT_EQ(test::read_all(dir_.file("real.ssi")), schedule_text(one));

    // A folder closed to writing (which binds only a user other than root): written in place.
    std::filesystem::create_directory(dir_.file("closed"));
    ASSERT_EQ(write_schedule(dir_.file("closed/s.ssi"), one, &error), 0) << error;
    std::filesystem::permissions(dir_.file("closed"),
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    EXPECT_EQ(write_schedule(dir_.file("closed/s.ssi"), two, &error), 0) << error;
    EXPECT_EQ(test::read_all(dir_.file("closed/s.ssi")), schedule_text(two));
    std::filesystem::permissions(dir_.file("closed"), std::filesystem::perms::owner_all);
}

}  // namespace
}  // namespace orvane::sched
