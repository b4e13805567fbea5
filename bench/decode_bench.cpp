// Decoding throughput: all the NMEA logs of tests/data concatenated, fed to the decoder in
// 4 KB reads (as from a device), several timed runs; prints the median in
// sentences per second and MB per second.
//
//   decode_bench [--logs DIR] [--runs N] [--write FILE]
//
// --write also saves the concatenated input, so another decoder can be timed
// on exactly the same bytes (scripts/bench-decode).

#include "nomrel/NmeaStream.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace
{

std::string readAll(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Pass {
    std::uint64_t fixes = 0;
    std::uint64_t sentences = 0;
};

Pass decodeOnce(const std::string& input)
{
    Pass pass;
    nomrel::nmea::Decoder decoder([&pass](const nomrel::nmea::Fix& fix) { pass.fixes += fix.valid ? 1 : 0; });
    constexpr std::size_t kRead = 4096;
    for (std::size_t at = 0; at < input.size(); at += kRead)
        decoder.feed(input.data() + at, std::min(kRead, input.size() - at));
    decoder.finish();
    const auto c = decoder.counters();
    pass.sentences = c.parsed + c.ignored;
    return pass;
}

} // namespace

int main(int argc, char** argv)
{
    std::filesystem::path logs = ZEPTA_NMEA_DIR;
    int runs = 7;
    std::string write;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--logs" && i + 1 < argc)
            logs = argv[++i];
        else if (arg == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--write" && i + 1 < argc)
            write = argv[++i];
        else {
            std::fprintf(stderr, "usage: decode_bench [--logs DIR] [--runs N] [--write FILE]\n");
            return 2;
        }
    }

    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(logs, error))
        if (entry.path().extension() == ".log")
            files.push_back(entry.path());
    if (error || files.empty()) {
        std::fprintf(stderr, "decode_bench: no .log files in %s\n", logs.c_str());
        return 1;
    }
    std::sort(files.begin(), files.end());
    std::string input;
    for (const auto& file : files)
        input += readAll(file);
    if (!write.empty()) {
        std::ofstream out(write, std::ios::binary);
        out.write(input.data(), static_cast<std::streamsize>(input.size()));
        if (!out) {
            std::fprintf(stderr, "decode_bench: cannot write %s\n", write.c_str());
            return 1;
        }
    }

    // Each run decodes the input as often as it takes to last about 0.2 s.
    using Clock = std::chrono::steady_clock;
    const Pass reference = decodeOnce(input);
    auto start = Clock::now();
    decodeOnce(input);
    const double once = std::chrono::duration<double>(Clock::now() - start).count();
    const int passes = std::max(1, static_cast<int>(0.2 / std::max(once, 1e-6)));

    std::vector<double> secondsPerPass;
    for (int run = 0; run < runs; ++run) {
        start = Clock::now();
        std::uint64_t fixes = 0;
        for (int p = 0; p < passes; ++p)
            fixes += decodeOnce(input).fixes;
        secondsPerPass.push_back(std::chrono::duration<double>(Clock::now() - start).count() / passes);
        if (fixes != reference.fixes * static_cast<std::uint64_t>(passes)) {
            std::fprintf(stderr, "decode_bench: runs disagree\n");
            return 1;
        }
    }
    std::sort(secondsPerPass.begin(), secondsPerPass.end());
    const double median = secondsPerPass[secondsPerPass.size() / 2];

    std::printf("input: %zu logs, %.2f MB, %llu sentences, %llu fixes\n", files.size(), input.size() / 1e6,
        static_cast<unsigned long long>(reference.sentences), static_cast<unsigned long long>(reference.fixes));
    std::printf("decode: median of %d runs (%d passes each): %.3f ms per pass\n", runs, passes, median * 1e3);
    std::printf("decode sentences/s: %.0f\n", reference.sentences / median);
    std::printf("decode MB/s: %.1f\n", input.size() / 1e6 / median);
    return 0;
}
