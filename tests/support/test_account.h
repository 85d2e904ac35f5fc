// A throwaway local user with a random password, for tests that log in to a real server by password.
#pragma once

#include <sys/types.h>

#include <string>

#include "tests/support/temp_dir.h"

namespace orvane::test {

// Made with useradd (home: a scratch folder the user owns) and removed with userdel when destroyed.
// Only root can make users: elsewhere made() is false and why() says so.
class TestAccount {
  public:
    TestAccount();
    ~TestAccount();
    TestAccount(const TestAccount&) = delete;
    TestAccount& operator=(const TestAccount&) = delete;

    bool made() const { return made_; }
    const std::string& why() const { return why_; }
    const std::string& name() const { return name_; }
    const std::string& password() const { return password_; }
    // The user's home folder, where a login starts.
    const std::string& home() const { return home_.path(); }

  private:
    TempDir home_;
    std::string name_, password_, why_;
    bool made_ = false;
};

}  // namespace orvane::test
