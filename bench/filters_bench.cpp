// The selection filters and the parameter report with large selections, against one std::set
// lookup and one pass over the same sets. CONVLIB_BENCH_ENTRIES sets the size of every set
// (default 10,000).
#include "bench/BenchSupport.hpp"
#include "convlib/BasicConverterDefs.hpp"

#include <charconv>
#include <set>
#include <string>
#include <vector>

namespace {

class Converter : public ConvLib::BasicConverterDefs {
public:
    Converter() {
        ConverterName = "bench";
        InFiles = Quorix::StrongPtr<Quorix::StringList>(new Quorix::StringList);
        const std::size_t entries = Bench::sizeFromEnvironment("CONVLIB_BENCH_ENTRIES", 10000);
        for (std::size_t i = 0; i < entries; ++i) {
            const std::string name = "entry" + std::to_string(i * 7919 % entries);
            InFiles->push_back("data/" + name + ".qz");
            DoThisGrids.insert("Grid_" + name);
            DoThisFields.insert("Field_" + name);
            DoThisTime.insert(static_cast<double>(i) * 0.1);
        }
    }
    bool convert() override { return true; }
};

Converter& converter() {
    static Converter instance;
    return instance;
}

// Every other query is selected, so that hits and misses both count.
template <class Value, class Make> std::vector<Value> queries(Make make) {
    std::vector<Value> result;
    for (std::size_t i = 0; i < 2 * converter().DoThisGrids.size(); ++i)
        result.push_back(make(i));
    return result;
}

template <class Value, class Filter>
void compareFilter(benchmark::State& state, const std::set<Value>& selection,
                   const std::vector<Value>& asked, Filter filter) {
    Bench::compare(
        state, 1.2,
        [&] {
            std::size_t selected = 0;
            for (const Value& value : asked)
                selected += filter(value);
            benchmark::DoNotOptimize(selected);
        },
        [&] {
            std::size_t selected = 0;
            for (const Value& value : asked)
                selected += selection.find(value) != selection.end();
            benchmark::DoNotOptimize(selected);
        });
}

std::string entryName(const char* kind, std::size_t i) {
    return kind + std::string(i % 2 ? "other" : "entry") + std::to_string(i / 2);
}

void BM_GridFilter(benchmark::State& state) {
    const auto asked = queries<std::string>([](std::size_t i) { return entryName("Grid_", i); });
    compareFilter(state, converter().DoThisGrids, asked,
                  [](const std::string& name) { return converter().UseThisGrid(name); });
}

void BM_FieldFilter(benchmark::State& state) {
    const auto asked = queries<std::string>([](std::size_t i) { return entryName("Field_", i); });
    compareFilter(state, converter().DoThisFields, asked,
                  [](const std::string& name) { return converter().UseThisField(name); });
}

void BM_TimeFilter(benchmark::State& state) {
    const auto asked = queries<double>([](std::size_t i) { return static_cast<double>(i) * 0.05; });
    compareFilter(state, converter().DoThisTime, asked,
                  [](double time) { return converter().UseThisTime(time); });
}

// The least a report can do: one pass over every list, each entry appended with its blank.
std::string plainListing() {
    const Converter& settings = converter();
    std::string text;
    for (const std::string& name : *settings.InFiles)
        text.append(" ").append(name);
    for (const auto* names : {&settings.DoThisFields, &settings.DoThisGrids})
        for (const std::string& name : *names)
            text.append(name).push_back(' ');
    char number[32];
    for (double time : settings.DoThisTime)
        text.append(number, std::to_chars(number, number + sizeof number, time).ptr).push_back(' ');
    return text;
}

void BM_ParameterReport(benchmark::State& state) {
    Bench::compare(
        state, 1.2, [] { benchmark::DoNotOptimize(converter().printParameters()); },
        [] { benchmark::DoNotOptimize(plainListing()); });
}

BENCHMARK(BM_GridFilter)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FieldFilter)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TimeFilter)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParameterReport)->Iterations(20)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
