#include "engine/rules/PageDigest.h"

#include <openssl/evp.h>

#include <cstdio>
#include <stdexcept>

struct PageDigest::Context {
    struct Free {
        void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
    };
    std::unique_ptr<EVP_MD_CTX, Free> md{EVP_MD_CTX_new()};
};

PageDigest::PageDigest() : context_(std::make_unique<Context>()) {
    if (!context_->md || EVP_DigestInit_ex(context_->md.get(), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 cannot be set up");
}

PageDigest::~PageDigest() = default;
PageDigest::PageDigest(PageDigest&&) noexcept = default;
PageDigest& PageDigest::operator=(PageDigest&&) noexcept = default;

void PageDigest::feed(std::string_view chunk) {
    size_ += chunk.size();
    failed_ = failed_ || EVP_DigestUpdate(context_->md.get(), chunk.data(), chunk.size()) != 1;
}

std::optional<std::string> PageDigest::finish() {
    unsigned char sum[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (failed_ || EVP_DigestFinal_ex(context_->md.get(), sum, &length) != 1 || length == 0) return std::nullopt;
    std::string text = std::to_string(size_) + ":";
    for (unsigned int i = 0; i < length; ++i) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", sum[i]);
        text += hex;
    }
    return text;
}
