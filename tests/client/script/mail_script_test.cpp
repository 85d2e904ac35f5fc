// The mail macros through the program, against aiosmtpd: a message with an attachment delivered
// with AUTH, a missing attachment failing its statement while the script goes on, a refused
// mailcreate leaving no message, recipient lists, and a UTF-8 subject.
#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/smtp_server.h"
#include "tests/support/temp_dir.h"

namespace orvane {
namespace {

using test::client_binary;
using test::run_process;
using test::TempDir;
using test::write_all;

TEST(MailScript, DeliversWithAttachmentAndReportsMissingFiles) {
    test::SmtpServer server;
    test::SmtpServerOptions options;
    options.user = "robot";
    options.password = "pw-s3cret";
    ASSERT_EQ(server.start(options), 0) << server.error();
    TempDir dir;
    write_all(dir.file("report.csv"), "a,b\r\n1,2\r\n");
    write_all(dir.file("job.fscr"),
              "mailcreate(\"Robot\", \"robot@example.org\", \"Nightly\", \"All sent.\");\n"
              "mailattach(\"report.csv\");\n"
              "mailattach(\"missing.csv\");\n"
              "if mailresult != success begin\n"
              "  print \"no such attachment\";\n"
              "end\n"
              "mailsend(\"127.0.0.1\", " +
                  std::to_string(server.port()) +
                  ", \"Ops\", \"ops@example.org\", \"robot\", \"pw-s3cret\");\n"
                  "if mailresult == success begin\n"
                  "  print \"mailed\";\n"
                  "end\n");
    auto r = run_process(client_binary(), {"-script", dir.file("job.fscr")}, {}, false,
                         std::chrono::seconds(60), {}, dir.path());
    EXPECT_EQ(r.exit_code, 1) << r.output;  // the missing attachment failed its statement
    EXPECT_NE(r.output.find("no such attachment"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("mailed"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("pw-s3cret"), std::string::npos) << r.output;
    EXPECT_NE(server.message(1).find("Subject: Nightly"), std::string::npos) << server.message(1);
    EXPECT_EQ(server.attachment(1, "report.csv"), "a,b\r\n1,2\r\n");
}

// Found as it was: after a refused mailcreate the next mailsend delivered the previous message to
// the new recipient, and "RCPT TO:<>" went out for an empty address.
TEST(MailScript, RefusedCreateLeavesNoMessageAndRecipientsAreExact) {
    test::SmtpServer server;
    ASSERT_EQ(server.start(), 0) << server.error();
    TempDir dir;
    const std::string send = "mailsend(\"127.0.0.1\", " + std::to_string(server.port()) + ", \"Ops\", ";
    const std::string subject = "Grüße – Ünïcødé файл";
    write_all(dir.file("job.fscr"),
              "mailcreate(\"Robot\", \"robot@example.org\", \"First\", \"first body\");\n"
              "getenvvar ~bad \"BAD\";\n"
              "mailcreate(\"Robot\", \"robot@example.org\", ~bad, \"second body\");\n" +
                  send + "\"new@example.org\");\n" + "mailcreate(\"Robot\", \"robot@example.org\", \"" +
                  subject + "\", \"third body\");\n" + send + "\"\");\n" + send + "\"a@example.org, \");\n" +
                  send + "\"a@example.org, b@example.org\");\n");
    auto r = run_process(client_binary(), {"-script", dir.file("job.fscr")}, {}, false,
                         std::chrono::seconds(60), {"BAD=line\nbreak"}, dir.path());
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_NE(r.output.find("ERROR: The mail was not sent: no message was created"), std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("ERROR: The mail's recipient address is empty"), std::string::npos) << r.output;
    // Only the list went out: one message, one RCPT TO for each address, the subject intact.
    const std::string envelope = server.envelope(1);
    EXPECT_NE(envelope.find("\"rcpt_tos\": [\"a@example.org\", \"b@example.org\"]"), std::string::npos)
        << envelope;
    EXPECT_NE(envelope.find("\"subject\": \"" + subject + "\""), std::string::npos) << envelope;
    EXPECT_NE(server.message(1).find("third body"), std::string::npos);
    EXPECT_EQ(server.message(1).find("first body"), std::string::npos);
    EXPECT_EQ(server.message(2), "");
}

}  // namespace
}  // namespace orvane
