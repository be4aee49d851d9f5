#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// A page's size and SHA-256, taken as it streams by: never held whole.
class PageDigest {
  public:
    PageDigest();
    ~PageDigest();
    PageDigest(PageDigest&&) noexcept;
    PageDigest& operator=(PageDigest&&) noexcept;

    void feed(std::string_view chunk);
    // "size:sha256 in hex", once every chunk is in; nothing when OpenSSL failed on the way, so that no failed digest
    // ever equals another.
    std::optional<std::string> finish();

  private:
    struct Context;
    std::unique_ptr<Context> context_;
    std::uint64_t size_ = 0;
    bool failed_ = false;
};
