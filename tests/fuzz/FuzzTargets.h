#pragma once

#include <cstddef>
#include <cstdint>

// Each returns 0; a finding aborts. Built into libFuzzer targets and into the corpus replay test.
int fuzzLineList(const std::uint8_t* data, std::size_t size);
int fuzzNormalise(const std::uint8_t* data, std::size_t size);
int fuzzTidy(const std::uint8_t* data, std::size_t size);
int fuzzCp932(const std::uint8_t* data, std::size_t size);
