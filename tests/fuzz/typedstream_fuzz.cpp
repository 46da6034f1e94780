// libFuzzer target for the message-body (typedstream) decoder.
//
// Build (clang with libFuzzer, AddressSanitizer and UBSan), either through CMake:
//   CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKELVARA_BUILD_FUZZ=ON -DKELVARA_BUILD_GUI=OFF
//   ninja -C build-fuzz typedstream_fuzz
// or directly:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I. \
//       tests/fuzz/typedstream_fuzz.cpp core/archive/typedstream.cpp core/platform/utf8.cpp -o typedstream_fuzz
// Run for a minute, starting from the seed bodies the fixture tool writes:
//   mkdir -p fuzz-corpus && ./typedstream_fuzz fuzz-corpus -max_total_time=60 -max_len=4096
// Any crash, sanitizer report, leak or timeout is a bug: the decoder must turn
// every input into either a body or an error text.
#include "core/archive/typedstream.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view blob(reinterpret_cast<const char*>(data), size);
    auto result = kx::typedstream::decodeAttributedBody(blob);
    if (result.body) {
        // The text must be valid UTF-8 after sanitizing: sanitizing again changes nothing.
        if (kx::typedstream::sanitizeUtf8(result.body->text) != result.body->text) __builtin_trap();
        // The parts, when there are any, are the text cut in pieces.
        if (!result.body->parts.empty()) {
            std::string joined;
            for (const auto& part : result.body->parts) joined += part.text;
            if (joined != result.body->text) __builtin_trap();
        }
    } else if (result.error.empty()) {
        __builtin_trap();
    }
    (void)kx::typedstream::looksLikeTypedStream(blob);
    return 0;
}
