//===-- bench/codecs.cpp - Base64 and uuencode throughput -----------------===//
//
// 64 MiB of random bytes through MimeEncodeStr, MimeDecodeLine (the text
// with CR LF after every 76 characters, in one call and a line per call),
// MimeDecodeLineEx a line per call, and UUDecodeLine on lines of 45 bytes;
// beside them memcpy, a loop that does the same work a byte at a time, and,
// where the build found it, OpenSSL's EVP_EncodeBlock and EVP_DecodeBlock
// (fed the text without line breaks, which it refuses inside a text, or a
// line per call with its CR LF, which it trims). Every figure is
// bytes of data (not of text) per second, so that encoders and decoders,
// with and without line breaks, compare directly.
//
// The *VsOpenSSL, *VsMemcpy and *VsPython benchmarks time the library and
// the other side alternately in one loop and report both rates and their
// ratio ("ratio" > 1: the library is faster; against memcpy, the share of
// its bandwidth), so that a change in the machine's load hits both alike.
// Python's binascii.a2b_uu is timed by a short python3 run started from
// the benchmark, when python3 is present.
//
// Run: build/default/bench/bench_codecs [--benchmark_filter=Vs]
// (three repetitions of the comparisons, for medians on a busy machine:
// --benchmark_filter=Vs --benchmark_repetitions=3)
//===----------------------------------------------------------------------===//
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "mail/CodecKernels.h"
#include "tmcommon.h"

#ifdef TM_HAVE_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

using tmc::codecs::Kernels;

constexpr size_t kDataSize = 64u << 20;
constexpr size_t kLineChars = 76;  // 57 bytes a line
constexpr size_t kUuLineBytes = 45;

struct Corpus {
    std::string data;                  // random bytes
    std::string text;                  // their base64, no line breaks
    std::string lines;                 // the same with CR LF after every 76 characters
    std::vector<std::string> lineList;  // the same, a line (with its CR LF) each
    std::vector<std::string> uuLines;  // uuencoded lines of 45 bytes, with "\n"
    std::vector<unsigned char> out;    // room for any result
};

const Corpus& TheCorpus() {
    static const Corpus corpus = [] {
        Corpus c;
        std::mt19937_64 rng(64);
        c.data.resize(kDataSize);
        for (size_t i = 0; i < kDataSize; i += 8) {
            uint64_t v = rng();
            memcpy(&c.data[i], &v, 8);
        }
        c.text.resize(kDataSize / 3 * 4 + 8);
        MimeEncodeStr(c.data.data(), c.text.data(), static_cast<int>(kDataSize));
        c.text.resize(strlen(c.text.c_str()));
        c.lines.reserve(c.text.size() / kLineChars * (kLineChars + 2) + 80);
        for (size_t at = 0; at < c.text.size(); at += kLineChars) {
            std::string line = c.text.substr(at, kLineChars) + "\r\n";
            c.lines += line;
            c.lineList.push_back(std::move(line));
        }
        static const char kUu[] = "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";
        for (size_t at = 0; at + kUuLineBytes <= kDataSize; at += kUuLineBytes) {
            std::string line(1, 'M');
            const auto* b = reinterpret_cast<const unsigned char*>(c.data.data() + at);
            for (size_t i = 0; i < kUuLineBytes; i += 3) {
                line += kUu[b[i] >> 2];
                line += kUu[(b[i] & 3) << 4 | b[i + 1] >> 4];
                line += kUu[(b[i + 1] & 15) << 2 | b[i + 2] >> 6];
                line += kUu[b[i + 2] & 63];
            }
            c.uuLines.push_back(line + "\n");
        }
        c.out.resize(kDataSize / 3 * 4 + 64);
        return c;
    }();
    return corpus;
}

unsigned char* OutBuffer() { return const_cast<unsigned char*>(TheCorpus().out.data()); }

const Kernels* KernelsByIndex(int64_t index) {
    return index == 0 ? &tmc::codecs::kScalarKernels : tmc::codecs::Avx2Kernels();
}

void SetLabel(benchmark::State& state, const Kernels* k) {
    state.SetLabel(k->name);
    tmc::codecs::UseKernels(k);
}

// The work a byte at a time, as the algorithms describe it.
size_t EncodeByteAtATime(const unsigned char* src, size_t n, char* dst) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    char* d = dst;
    for (size_t i = 0; i + 3 <= n; i += 3) {
        *d++ = kAlphabet[src[i] >> 2];
        *d++ = kAlphabet[(src[i] & 3) << 4 | src[i + 1] >> 4];
        *d++ = kAlphabet[(src[i + 1] & 15) << 2 | src[i + 2] >> 6];
        *d++ = kAlphabet[src[i + 2] & 63];
    }
    *d = '\0';
    return static_cast<size_t>(d - dst);
}

// A character's value, or -1: the table the plain loop reads a byte at a
// time.
const std::vector<int>& CharValues() {
    static const std::vector<int> values = [] {
        std::vector<int> v(256, -1);
        const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i) v[static_cast<unsigned char>(alphabet[i])] = i;
        return v;
    }();
    return values;
}

size_t DecodeByteAtATime(const char* text, size_t len, unsigned char* out) {
    const int* values = CharValues().data();
    size_t o = 0;
    int have = 0;
    unsigned bits = 0;
    for (size_t i = 0; i < len; ++i) {
        int v = values[static_cast<unsigned char>(text[i])];
        if (v < 0) continue;
        bits = bits << 6 | static_cast<unsigned>(v);
        if (++have == 4) {
            out[o++] = static_cast<unsigned char>(bits >> 16);
            out[o++] = static_cast<unsigned char>(bits >> 8);
            out[o++] = static_cast<unsigned char>(bits);
            have = 0;
        }
    }
    return o;
}

void Finish(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kDataSize));
    tmc::codecs::UseKernels(nullptr);
}

void BM_Memcpy(benchmark::State& state) {
    const Corpus& c = TheCorpus();
    for (auto _ : state) {
        memcpy(OutBuffer(), c.data.data(), kDataSize);
        benchmark::ClobberMemory();
    }
    Finish(state);
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);

void BM_MimeEncodeStr(benchmark::State& state) {
    const Kernels* k = KernelsByIndex(state.range(0));
    if (!k) return state.SkipWithError("no AVX2 on this processor");
    SetLabel(state, k);
    const Corpus& c = TheCorpus();
    for (auto _ : state) {
        MimeEncodeStr(c.data.data(), reinterpret_cast<char*>(OutBuffer()), static_cast<int>(kDataSize));
        benchmark::ClobberMemory();
    }
    Finish(state);
}
BENCHMARK(BM_MimeEncodeStr)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_EncodeByteAtATime(benchmark::State& state) {
    const Corpus& c = TheCorpus();
    for (auto _ : state) {
        EncodeByteAtATime(reinterpret_cast<const unsigned char*>(c.data.data()), kDataSize,
                          reinterpret_cast<char*>(OutBuffer()));
        benchmark::ClobberMemory();
    }
    Finish(state);
}
BENCHMARK(BM_EncodeByteAtATime)->Unit(benchmark::kMillisecond);

void BM_MimeDecodeLine_Whole(benchmark::State& state) {
    const Kernels* k = KernelsByIndex(state.range(0));
    if (!k) return state.SkipWithError("no AVX2 on this processor");
    SetLabel(state, k);
    const Corpus& c = TheCorpus();
    for (auto _ : state) benchmark::DoNotOptimize(MimeDecodeLine(c.lines.c_str(), OutBuffer()));
    Finish(state);
}
BENCHMARK(BM_MimeDecodeLine_Whole)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_MimeDecodeLine_PerLine(benchmark::State& state) {
    const Kernels* k = KernelsByIndex(state.range(0));
    if (!k) return state.SkipWithError("no AVX2 on this processor");
    SetLabel(state, k);
    const Corpus& c = TheCorpus();
    for (auto _ : state) {
        unsigned char* out = OutBuffer();
        for (const std::string& line : c.lineList) out += MimeDecodeLine(line.c_str(), out);
        benchmark::DoNotOptimize(out);
    }
    Finish(state);
}
BENCHMARK(BM_MimeDecodeLine_PerLine)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_MimeDecodeLineEx_PerLine(benchmark::State& state) {
    const Kernels* k = KernelsByIndex(state.range(0));
    if (!k) return state.SkipWithError("no AVX2 on this processor");
    SetLabel(state, k);
    const Corpus& c = TheCorpus();
    for (auto _ : state) {
        char carry[8] = "";
        unsigned char* out = OutBuffer();
        for (const std::string& line : c.lineList) out += MimeDecodeLineEx(line.c_str(), out, carry);
        out += MimeDecodeLine(carry, out);
        benchmark::DoNotOptimize(out);
    }
    Finish(state);
}
BENCHMARK(BM_MimeDecodeLineEx_PerLine)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_DecodeByteAtATime(benchmark::State& state) {
    const Corpus& c = TheCorpus();
    for (auto _ : state) benchmark::DoNotOptimize(DecodeByteAtATime(c.lines.data(), c.lines.size(), OutBuffer()));
    Finish(state);
}
BENCHMARK(BM_DecodeByteAtATime)->Unit(benchmark::kMillisecond);

void BM_UUDecodeLine(benchmark::State& state) {
    const Corpus& c = TheCorpus();
    for (auto _ : state) {
        unsigned char* out = OutBuffer();
        for (const std::string& line : c.uuLines) out += UUDecodeLine(line.c_str(), out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.uuLines.size() * kUuLineBytes));
}
BENCHMARK(BM_UUDecodeLine)->Unit(benchmark::kMillisecond);

// Seconds that one run of the body takes.
template <class Body>
double Seconds(Body&& body) {
    auto start = std::chrono::steady_clock::now();
    body();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Processor seconds of this thread that one run of the body takes. On a
// machine shared by more runnable processes than it has cores, a run of
// 20 ms is rarely left alone for its whole length while one of 5 ms often
// is: wall-clock time would favour the shorter side of a comparison.
template <class Body>
double CpuSeconds(Body&& body) {
    timespec start, end;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    body();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    return static_cast<double>(end.tv_sec - start.tv_sec) + static_cast<double>(end.tv_nsec - start.tv_nsec) * 1e-9;
}

// Times ours and theirs alternately, the best of each; rates in GB/s of
// data and their ratio.
template <class Ours, class Theirs>
void Versus(benchmark::State& state, const char* theirName, double bytes, Ours&& ours, Theirs&& theirs) {
    double best = 1e9, bestTheirs = 1e9;
    for (auto _ : state) {
        best = std::min(best, CpuSeconds(ours));
        bestTheirs = std::min(bestTheirs, CpuSeconds(theirs));
    }
    state.counters["ours_GBps"] = bytes / best / 1e9;
    state.counters[std::string(theirName) + "_GBps"] = bytes / bestTheirs / 1e9;
    state.counters["ratio"] = bestTheirs / best;
    state.SetLabel(tmc::codecs::ActiveKernels().name);
}

// MimeDecodeLine on the text with its line breaks against memcpy of the
// data it decodes to: the decoder's bandwidth as a share of the memory's.
void BM_DecodeLineVsMemcpy(benchmark::State& state) {
    const Corpus& c = TheCorpus();
    auto* out = OutBuffer();
    Versus(
        state, "memcpy", kDataSize, [&] { benchmark::DoNotOptimize(MimeDecodeLine(c.lines.c_str(), out)); },
        [&] {
            memcpy(out, c.data.data(), kDataSize);
            benchmark::ClobberMemory();
        });
}
BENCHMARK(BM_DecodeLineVsMemcpy)->Iterations(10)->Unit(benchmark::kMillisecond);

#ifdef TM_HAVE_OPENSSL
void BM_OpenSSL_EncodeBlock(benchmark::State& state) {
    const Corpus& c = TheCorpus();
    for (auto _ : state) {
        benchmark::DoNotOptimize(EVP_EncodeBlock(OutBuffer(), reinterpret_cast<const unsigned char*>(c.data.data()),
                                                 static_cast<int>(kDataSize)));
    }
    Finish(state);
}
BENCHMARK(BM_OpenSSL_EncodeBlock)->Unit(benchmark::kMillisecond);

void BM_OpenSSL_DecodeBlock(benchmark::State& state) {
    const Corpus& c = TheCorpus();
    for (auto _ : state) {
        benchmark::DoNotOptimize(EVP_DecodeBlock(OutBuffer(), reinterpret_cast<const unsigned char*>(c.text.data()),
                                                 static_cast<int>(c.text.size())));
    }
    Finish(state);
}
BENCHMARK(BM_OpenSSL_DecodeBlock)->Unit(benchmark::kMillisecond);

void BM_EncodeStrVsOpenSSL(benchmark::State& state) {
    const Corpus& c = TheCorpus();
    auto* out = OutBuffer();
    Versus(
        state, "openssl", kDataSize,
        [&] { MimeEncodeStr(c.data.data(), reinterpret_cast<char*>(out), static_cast<int>(kDataSize)); },
        [&] {
            EVP_EncodeBlock(out, reinterpret_cast<const unsigned char*>(c.data.data()), static_cast<int>(kDataSize));
        });
}
BENCHMARK(BM_EncodeStrVsOpenSSL)->Iterations(10)->Unit(benchmark::kMillisecond);

// MimeDecodeLine on the text with its line breaks, OpenSSL on the same
// text without them.
void BM_DecodeLineVsOpenSSL(benchmark::State& state) {
    const Corpus& c = TheCorpus();
    auto* out = OutBuffer();
    Versus(
        state, "openssl", kDataSize, [&] { MimeDecodeLine(c.lines.c_str(), out); },
        [&] {
            EVP_DecodeBlock(out, reinterpret_cast<const unsigned char*>(c.text.data()), static_cast<int>(c.text.size()));
        });
}
BENCHMARK(BM_DecodeLineVsOpenSSL)->Iterations(10)->Unit(benchmark::kMillisecond);

void BM_DecodeLinePerLineVsOpenSSL(benchmark::State& state) {
    const Corpus& c = TheCorpus();
    auto* out = OutBuffer();
    Versus(
        state, "openssl", kDataSize,
        [&] {
            unsigned char* o = out;
            for (const std::string& line : c.lineList) o += MimeDecodeLine(line.c_str(), o);
        },
        [&] {
            EVP_DecodeBlock(out, reinterpret_cast<const unsigned char*>(c.text.data()), static_cast<int>(c.text.size()));
        });
}
BENCHMARK(BM_DecodeLinePerLineVsOpenSSL)->Iterations(10)->Unit(benchmark::kMillisecond);

// MimeDecodeLineEx a line per call, with its carry, against OpenSSL a line
// per call on the same lines (it takes the CR LF at a line's end).
void BM_DecodeLineExPerLineVsOpenSSL(benchmark::State& state) {
    const Corpus& c = TheCorpus();
    auto* out = OutBuffer();
    const std::string& first = c.lineList.front();
    if (EVP_DecodeBlock(out, reinterpret_cast<const unsigned char*>(first.data()), static_cast<int>(first.size())) !=
        static_cast<int>(kLineChars / 4 * 3)) {
        return state.SkipWithError("EVP_DecodeBlock refuses the lines");
    }
    Versus(
        state, "openssl", kDataSize,
        [&] {
            char carry[8] = "";
            unsigned char* o = out;
            for (const std::string& line : c.lineList) o += MimeDecodeLineEx(line.c_str(), o, carry);
            benchmark::DoNotOptimize(o += MimeDecodeLine(carry, o));
        },
        [&] {
            unsigned char* o = out;
            for (const std::string& line : c.lineList) {
                o += EVP_DecodeBlock(o, reinterpret_cast<const unsigned char*>(line.data()), static_cast<int>(line.size()));
            }
            benchmark::DoNotOptimize(o);
        });
}
BENCHMARK(BM_DecodeLineExPerLineVsOpenSSL)->Iterations(10)->Unit(benchmark::kMillisecond);
#endif

// Python's a2b_uu on 45-byte lines, in MB/s, or 0 without python3. The
// fastest loop Python has: map over a list, nothing kept.
double PythonA2bUuMBps() {
    FILE* p = popen(
        "python3 -c '\n"
        "import binascii, collections, os, time\n"
        "a2b = binascii.a2b_uu\n"
        "lines = [binascii.b2a_uu(os.urandom(45)) for _ in range(1 << 20)]\n"
        "best = 1e9\n"
        "for _ in range(5):\n"
        "    t = time.perf_counter(); collections.deque(map(a2b, lines), maxlen=0)\n"
        "    best = min(best, time.perf_counter() - t)\n"
        "print(45 * len(lines) / best / 1e6)\n"
        "' 2>/dev/null",
        "r");
    if (!p) return 0;
    double mbps = 0;
    if (fscanf(p, "%lf", &mbps) != 1) mbps = 0;
    pclose(p);
    return mbps;
}

void BM_UUDecodeLineVsPython(benchmark::State& state) {
    const Corpus& c = TheCorpus();
    double best = 1e9, python = 0;
    for (auto _ : state) {
        // Python's run and ours alternate, as in the other comparisons.
        python = std::max(python, PythonA2bUuMBps());
        best = std::min(best, Seconds([&] {
                            unsigned char* out = OutBuffer();
                            for (const std::string& line : c.uuLines) out += UUDecodeLine(line.c_str(), out);
                        }));
    }
    double ours = static_cast<double>(c.uuLines.size() * kUuLineBytes) / best / 1e6;
    state.counters["ours_MBps"] = ours;
    state.counters["python_MBps"] = python;
    state.counters["ratio"] = python > 0 ? ours / python : 0;
    if (python == 0) state.SetLabel("python3 not found");
}
BENCHMARK(BM_UUDecodeLineVsPython)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

