// Named objects shared between processes: lock files and event files in the runtime folder.
//
// The runtime folder is ORVANE_RUNTIME_DIR when set, else /run/orvane when this user owns it or
// can make it, else /tmp/orvane-<uid>. The folder belongs to this user with mode 0700 (an open one
// is closed, one of another user's is not used): no other local user can set the stop event, or
// take a lock and so freeze the scheduler.
//
// A named mutex is the file NAME held with flock: it "exists" while some process holds it, so a
// holder that dies never leaves it behind. Holders block until they get it (a peer that only
// tests for the mutex holds it for a moment).
// A named manual-reset event is the file NAME: present means signalled; set creates it, reset
// removes it. A FolderWatch (inotify) wakes a poll() when it may have changed.
#pragma once

#include <string>
#include <vector>

#include "platform/event.h"

namespace orvane::platform {

// The runtime folder, ending in "/", made when missing. Empty when none can be made.
std::string runtime_folder();

// A held named mutex; released by release() or the destructor.
class NamedMutex {
  public:
    NamedMutex() = default;
    ~NamedMutex() { release(); }
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Takes the mutex, waiting as long as another process holds it; with `stop`, the wait ends
    // early when the event is set. `shared`: several holders at once (an instance marker).
    // 0 when held; 1 when stopped or the lock file cannot be opened (cause in *error).
    int acquire(const std::string& name, const Event* stop = nullptr, bool shared = false,
                std::string* error = nullptr);
    // Takes the mutex exclusively without waiting: 0 held, 1 another process holds it, 2 the lock
    // file cannot be opened (cause in *error either way).
    int try_acquire(const std::string& name, std::string* error = nullptr);
    // Replaces the lock file's text (a holder's pid, for others to read). 0 on success.
    int set_note(const std::string& text);
    void release();
    bool held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// True while some process holds the named mutex.
bool named_mutex_exists(const std::string& name);
// The text its holder left with set_note (at most 256 bytes); empty when none.
std::string named_mutex_note(const std::string& name);

// Named manual-reset events. 0 on success.
int named_event_set(const std::string& name);
int named_event_reset(const std::string& name);
bool named_event_is_set(const std::string& name);

// Watches the runtime folder for files appearing, disappearing or being touched.
class FolderWatch {
  public:
    FolderWatch();
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    bool valid() const { return fd_ >= 0; }
    // Readable when something changed; drain() then empties it, adding the names of objects
    // deleted or moved away to *removed when given.
    int descriptor() const { return fd_; }
    void drain(std::vector<std::string>* removed = nullptr);
    // True once drain() saw the folder itself deleted or moved: its objects are gone with it.
    bool folder_gone() const { return gone_; }
    // Makes the runtime folder again when missing and watches it afresh. 0 when watching.
    int rearm();
    // Also wakes when the holder of the named mutex lets it go, so a waiter need not poll for it.
    // 0 when watched (the lock file must exist).
    int watch_release(const std::string& name);

  private:
    int fd_ = -1;
    int folder_wd_ = -1;
    bool gone_ = false;
};

}  // namespace orvane::platform
