// The files of a transfer walk spread over more sessions of the same login, their messages kept in
// the walk's order.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <vector>

#include "client/transfer/session/ordered_output.h"
#include "client/transfer/session/session.h"

namespace orvane {

inline constexpr int kMaxParallelSessions = 16;
// True for a number of sessions a walk may use at once.
inline bool parallel_count_allowed(long long n) {
    return n >= 1 && n <= kMaxParallelSessions;
}

// A file the walk hands over: its pair and what it needs to judge the result.
struct ParallelFile {
    TransferPair pair;
    bool local_existed = false;  // a download's local file was there before
    size_t part = 0;             // its messages' place in the output
};

class ParallelTransfers;
// What the walk is told, on the requester's thread. A file done by another session: 0 when the walk
// goes on, 1 when it has failed (the walk logs why into the file's part). All done: every file
// handed over has finished and the other sessions are closed; `result` is 1 when any file failed.
struct ParallelCallbacks {
    int (*file_done)(Session& walk, ParallelTransfers& p, const ParallelFile& file, int result,
                     const Session& worker) = nullptr;
    void (*all_done)(Session& walk, int result) = nullptr;
    // The walk parked with files waiting and every slot taken: a helper has moved on.
    void (*wake)(Session& walk) = nullptr;
};

// Owned by the running walk of `walk`. While it lives, the walk session logs through the ordered
// output (restored by the destructor). Requester's thread only.
class ParallelTransfers {
  public:
    ParallelTransfers(Session& walk, int sessions, bool full_paths, ParallelCallbacks callbacks);
    ~ParallelTransfers();
    ParallelTransfers(const ParallelTransfers&) = delete;
    ParallelTransfers& operator=(const ParallelTransfers&) = delete;

    // Queues a file; an idle session takes it, and another session is opened when files wait.
    void hand_over(ParallelFile file);
    // A waiting file for the walk session to do itself (its messages then go to the file's part).
    // False when none waits, or when as many files as allowed are moving already.
    bool take_waiting(ParallelFile& file);
    bool has_waiting() const { return !waiting_.empty(); }
    // The walk has nothing else to do: wake is called after the next helper completion.
    void park() { parked_ = true; }
    // The walk session's own file is done: later messages of the walk go after it.
    void own_file_done(const ParallelFile& file);
    // Messages into a file's part.
    void log_to(const ParallelFile& file, int level, const char* text);
    // The walk has nothing more to hand over (result 1: it failed, so files still waiting are
    // dropped): when the files in flight are done and the sessions closed, all_done is called.
    void end(int result);
    // Drops the waiting files: the walk has failed.
    void drop_waiting();

    struct Helper;  // one more session and the file it works on

  private:
    friend struct HelperSteps;
    void open_helper();
    void give_work(Helper& h);
    void check_end();
    size_t connecting() const;
    void start_file(Helper& h);
    void file_finished(Helper& h, int result);
    void close_helper(Helper& h);
    size_t open_sessions() const;
    size_t moving() const;

    Session& walk_;
    int sessions_;
    bool full_paths_;
    ParallelCallbacks callbacks_;
    OrderedOutput output_;
    OrderedWriter walk_writer_;
    LogCallback saved_log_;
    void* saved_log_user_;
    std::deque<ParallelFile> waiting_;
    std::vector<std::unique_ptr<Helper>> helpers_;
    size_t handed_ = 0;
    bool ending_ = false;
    bool parked_ = false;
    bool ended_ = false;
    int result_ = 0;
};

}  // namespace orvane
