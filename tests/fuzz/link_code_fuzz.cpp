// libFuzzer target for the link-code reader.
//
// Build (clang with libFuzzer, AddressSanitizer and UBSan), either through CMake:
//   CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKELVARA_BUILD_FUZZ=ON -DKELVARA_BUILD_GUI=OFF
//   ninja -C build-fuzz link_code_fuzz
// or directly:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I. \
//       tests/fuzz/link_code_fuzz.cpp core/household/link_code.cpp core/platform/utf8.cpp -o link_code_fuzz
// Run for a minute:
//   mkdir -p fuzz-corpus-link && ./link_code_fuzz fuzz-corpus-link -max_total_time=60 -max_len=8192
// Any crash, sanitizer report, leak or timeout is a bug. Every input must give
// either values that encode back to a code reading the same values, or a
// LinkError with a short sentence of its own.
#include "core/household/link_code.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const auto payload = kx::LinkCode::decode(text);
        if (kx::LinkCode::decode(kx::LinkCode::encode(payload)) != payload) __builtin_trap();
    } catch (const kx::LinkCode::LinkError& e) {
        const std::string sentence = e.errorDescription();
        if (sentence.empty() || sentence.back() != '.') __builtin_trap();
        // Sentences are fixed texts with at most a position number: never an echo of a long input.
        if (sentence.size() > 300) __builtin_trap();
    }
    return 0;
}
