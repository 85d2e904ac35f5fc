// Secrets (passwords, pass phrases, keys) are overwritten before their memory is released.
#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <string_view>

#include "platform/secret_pages.h"

namespace orvane {

// Overwrites the text's bytes and empties it.
void wipe_secret(std::string& secret);
// Overwrites n bytes in a way the compiler cannot leave out.
void wipe_bytes(void* data, size_t n);
// Wipes a Secret (the same word for both kinds of holder).
class Secret;
void wipe_secret(Secret& secret);
// True for a raw FTP command line that carries a password (PASS, or ACCT's account secret),
// whatever its case: it is shown masked like the login's own.
bool command_carries_secret(std::string_view line);

// Storage for secrets: pages that core dumps leave out, wiped when released.
template <typename T>
struct SecretAllocator {
    using value_type = T;
    SecretAllocator() = default;
    template <typename U>
    SecretAllocator(const SecretAllocator<U>&) {}
    T* allocate(size_t n) {
        void* p = platform::secret_pages_allocate(n * sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t n) { platform::secret_pages_free(p, n * sizeof(T)); }
    template <typename U>
    bool operator==(const SecretAllocator<U>&) const {
        return true;
    }
};

// A secret text (a password, a pass phrase) on pages that core dumps leave out, wiped when it
// changes or goes. Every copy is made the same way: a plain std::string copy would put a short
// secret into the object itself (the short-string buffer), beside ordinary data.
class Secret {
  public:
    Secret() = default;
    Secret(std::string_view text) { assign(text); }  // NOLINT: taking a text is what it is for
    Secret(const Secret& other) { assign(other.view()); }
    Secret& operator=(const Secret& other);
    Secret& operator=(std::string_view text);
    ~Secret();

    std::string_view view() const { return {text_.data(), text_.size()}; }
    operator std::string_view() const { return view(); }  // NOLINT: read where a text is read
    const char* c_str() const { return text_.c_str(); }
    size_t size() const { return text_.size(); }
    bool empty() const { return text_.empty(); }
    void wipe();

  private:
    using Text = std::basic_string<char, std::char_traits<char>, SecretAllocator<char>>;
    void assign(std::string_view text);
    Text text_;
};

}  // namespace orvane
