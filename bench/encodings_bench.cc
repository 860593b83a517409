// Nanoseconds per field encoding, each beside its floor: for an amount,
// moving its seven bytes; for a date, the one C library call that a date in
// the local zone cannot do without.  The inputs vary from call to call so
// that the compiler cannot fold a call into a constant, and the time zone is a
// fixed POSIX rule so that the figures do not depend on the zone files.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "register/registry.h"

namespace {

const registry reg("");

constexpr std::size_t inputs = 256;

std::array<double, inputs> amounts() {
    std::array<double, inputs> a{};
    for (std::size_t i = 0; i < inputs; ++i) a[i] = static_cast<double>(i * 7919 % 100000) + static_cast<double>(i % 100) / 100;
    return a;
}

void amount_encode(benchmark::State& state) {
    const auto a = amounts();
    unsigned char buff[7];
    std::size_t i = 0;
    for (auto _ : state) {
        reg.doubleToBuff(a[i++ % inputs], buff);
        benchmark::DoNotOptimize(buff);
    }
}
BENCHMARK(amount_encode);

void amount_decode(benchmark::State& state) {
    std::array<std::array<unsigned char, 7>, inputs> stored{};
    const auto a = amounts();
    for (std::size_t i = 0; i < inputs; ++i) reg.doubleToBuff(a[i], stored[i].data());
    std::size_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(reg.buffToDouble(stored[i++ % inputs].data()));
}
BENCHMARK(amount_decode);

void amount_floor(benchmark::State& state) {
    std::array<std::array<unsigned char, 7>, inputs> stored{};
    for (std::size_t i = 0; i < inputs; ++i) stored[i][6] = static_cast<unsigned char>(i);
    unsigned char buff[7];
    std::size_t i = 0;
    for (auto _ : state) {
        std::memcpy(buff, stored[i++ % inputs].data(), sizeof buff);
        benchmark::DoNotOptimize(buff);
    }
}
BENCHMARK(amount_floor);

void date_encode(benchmark::State& state) {
    std::time_t moment = 1709616600;  // 05.03.2024 08:30 in the zone below
    for (auto _ : state) {
        benchmark::DoNotOptimize(reg.DateTimeToClarionDate(moment));
        moment += 86400;
    }
}
BENCHMARK(date_encode);

// A moment to a local date: localtime_r.
void date_encode_floor(benchmark::State& state) {
    std::time_t moment = 1709616600;
    for (auto _ : state) {
        std::tm t;
        benchmark::DoNotOptimize(localtime_r(&moment, &t));
        benchmark::DoNotOptimize(t);
        moment += 86400;
    }
}
BENCHMARK(date_encode_floor);

void date_decode(benchmark::State& state) {
    const std::time_t base = 1709616600;
    std::int64_t day = 80000;  // early 2020
    for (auto _ : state) benchmark::DoNotOptimize(reg.ClarionDateToDateTime(day++ % 100000, base));
}
BENCHMARK(date_decode);

// A local date to a moment: mktime.
void date_decode_floor(benchmark::State& state) {
    int day = 0;
    for (auto _ : state) {
        std::tm t{};
        t.tm_year = 120;
        t.tm_mday = 1 + day++ % 10000;  // mktime normalises it into later months
        t.tm_isdst = -1;
        benchmark::DoNotOptimize(std::mktime(&t));
    }
}
BENCHMARK(date_decode_floor);

}  // namespace

int main(int argc, char** argv) {
    setenv("TZ", "MSK-3", 1);
    tzset();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
