// KString against std::u16string doing the same work: copying (shared
// storage vs deep copy), appending, and converting UTF-8 in and out.
#include <benchmark/benchmark.h>

#include <string>

#include "common/base/internal/winmkstring/kstring.h"
#include "wince.h"

namespace {

const char kText[] =
    "Distribution code 2f9a-77 \xC3\xA9t\xC3\xA9 r\xC3\xA9glages of the home-screen search plug-in";

std::u16string DecodeStd(const char* utf8, int n) {
    int wide = MultiByteToWideChar(CP_UTF8, 0, utf8, n, nullptr, 0);
    std::u16string out(static_cast<std::size_t>(wide), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, n, out.data(), wide);
    return out;
}

std::string EncodeStd(const std::u16string& s) {
    int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
}

void BM_Copy_KString(benchmark::State& state) {
    KString s(kText);
    for (auto _ : state) {
        KString copy(s);
        benchmark::DoNotOptimize(copy.Storage());
    }
}
BENCHMARK(BM_Copy_KString);

void BM_Copy_U16String(benchmark::State& state) {
    std::u16string s = DecodeStd(kText, -1);
    for (auto _ : state) {
        std::u16string copy(s);
        benchmark::DoNotOptimize(copy.data());
    }
}
BENCHMARK(BM_Copy_U16String);

void BM_AppendUtf8_KString(benchmark::State& state) {
    for (auto _ : state) {
        KString s;
        for (int i = 0; i < state.range(0); ++i)
            s.AppendUtf8("chunk \xC3\xA9 ");
        benchmark::DoNotOptimize(s.Storage());
    }
}
BENCHMARK(BM_AppendUtf8_KString)->Arg(8)->Arg(256);

void BM_AppendUtf8_U16String(benchmark::State& state) {
    for (auto _ : state) {
        std::u16string s;
        for (int i = 0; i < state.range(0); ++i)
            s += DecodeStd("chunk \xC3\xA9 ", -1).c_str();
        benchmark::DoNotOptimize(s.data());
    }
}
BENCHMARK(BM_AppendUtf8_U16String)->Arg(8)->Arg(256);

void BM_AppendString_KString(benchmark::State& state) {
    KString piece("piece of text ");
    for (auto _ : state) {
        KString s("start ");
        for (int i = 0; i < state.range(0); ++i)
            s.Append(piece);
        benchmark::DoNotOptimize(s.Storage());
    }
}
BENCHMARK(BM_AppendString_KString)->Arg(8)->Arg(256);

void BM_AppendString_U16String(benchmark::State& state) {
    std::u16string piece = u"piece of text ";
    for (auto _ : state) {
        std::u16string s = u"start ";
        for (int i = 0; i < state.range(0); ++i)
            s += piece;
        benchmark::DoNotOptimize(s.data());
    }
}
BENCHMARK(BM_AppendString_U16String)->Arg(8)->Arg(256);

void BM_Utf8RoundTrip_KString(benchmark::State& state) {
    GrowableArray out(1);
    for (auto _ : state) {
        KString s(kText);
        s.ToUtf8(out);
        benchmark::DoNotOptimize(out.data);
    }
}
BENCHMARK(BM_Utf8RoundTrip_KString);

void BM_Utf8RoundTrip_U16String(benchmark::State& state) {
    for (auto _ : state) {
        std::u16string s = DecodeStd(kText, -1);
        s.pop_back();  // the terminator
        std::string out = EncodeStd(s);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_Utf8RoundTrip_U16String);

void BM_Format_KString(benchmark::State& state) {
    KString name("WinmHttpRequest");
    for (auto _ : state) {
        KString s = KString::Format("Request failed with: %S [%d] 0x%x", &name, 12029, 0xBEEFu);
        benchmark::DoNotOptimize(s.Storage());
    }
}
BENCHMARK(BM_Format_KString);

}  // namespace

BENCHMARK_MAIN();
