#include "outside/Quorix.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using ConvLibTest::SpeakRecorder;
using ConvLibTest::TempDir;

int liveWidgets = 0;

class Widget : public Quorix::ReferenceBase<Widget> {
public:
    Widget() { ++liveWidgets; }
    ~Widget() override { --liveWidgets; }
};

using WidgetPtr = Quorix::StrongPtr<Widget>;

TEST(StrongPtr, CountsFollowCopyMoveAssignmentAndRelease) {
    SpeakRecorder quiet;
    WidgetPtr first(new Widget);
    Widget* widget = first.rawptr();
    // the object keeps one weak reference of its own
    EXPECT_EQ(widget->strongCount(), 1);
    EXPECT_EQ(widget->weakCount(), 2);

    WidgetPtr copy(first);
    EXPECT_EQ(widget->strongCount(), 2);
    EXPECT_EQ(widget->weakCount(), 3);
    EXPECT_NE(copy.serial(), first.serial());

    WidgetPtr moved(std::move(copy));
    EXPECT_FALSE(copy.valid());
    EXPECT_EQ(widget->strongCount(), 2);

    WidgetPtr assigned;
    assigned = moved;
    EXPECT_EQ(widget->strongCount(), 3);
    assigned = assigned; // self-assignment keeps the reference
    EXPECT_EQ(widget->strongCount(), 3);

    moved.release();
    assigned = WidgetPtr(new Widget); // the old object keeps its other reference
    EXPECT_EQ(liveWidgets, 2);
    assigned.reset();
    EXPECT_EQ(widget->strongCount(), 1);
    EXPECT_EQ(liveWidgets, 1);
    first.release();
    EXPECT_EQ(liveWidgets, 0);
    EXPECT_TRUE(quiet.reports().empty());
}

TEST(StrongPtr, LastStrongReferenceDeletesAndWeakPointersNotice) {
    Quorix::WeakPtr<Widget> weak;
    {
        WidgetPtr strong(new Widget);
        weak = Quorix::WeakPtr<Widget>(strong);
        EXPECT_TRUE(weak.valid());
        EXPECT_EQ(weak.lock().rawptr(), strong.rawptr());
    }
    EXPECT_EQ(liveWidgets, 0);
    EXPECT_FALSE(weak.valid());
    EXPECT_EQ(weak.rawptr(), nullptr);
    EXPECT_FALSE(weak.lock().valid());
}

struct Counted : Quorix::ReferenceBase<Counted> {};
int deferredCalls = 0;

} // namespace

template <> struct Quorix::DeferredInitializationTrait<Counted> {
    static void call(Counted*) { ++deferredCalls; }
};

namespace {

TEST(StrongPtr, DeferredInitializationRunsOnTheFirstStrongReferenceOnly) {
    deferredCalls = 0;
    Quorix::StrongPtr<Counted> first(new Counted);
    Quorix::StrongPtr<Counted> second(first);
    EXPECT_EQ(deferredCalls, 1);
}

// Takes a strong reference to itself on the way out once, so it survives its last release.
class Clinger : public Quorix::ReferenceBase<Clinger> {
public:
    void extremeUnction() override {
        if (!clung) {
            clung = true;
            self = Quorix::StrongPtr<Clinger>(this);
        }
    }
    bool clung = false;
    Quorix::StrongPtr<Clinger> self;
};

TEST(SpeakPtr, ExtremeUnctionThatChangesTheCountIsReportedAndKeepsTheObject) {
    SpeakRecorder recorder;
    Quorix::WeakPtr<Clinger> watch;
    {
        Quorix::StrongPtr<Clinger> pointer(new Clinger);
        watch = Quorix::WeakPtr<Clinger>(pointer);
    }
    ASSERT_EQ(recorder.reports().size(), 1u);
    EXPECT_EQ(recorder.reports()[0].kind, Quorix::SpeakPtr::WarningUnctionChange);
    EXPECT_EQ(recorder.reports()[0].strong, 2);
    EXPECT_EQ(*recorder.reports()[0].base, typeid(Clinger));
    ASSERT_TRUE(watch.valid());
    watch->self.release(); // the object's own reference goes: now it dies
    EXPECT_FALSE(watch.valid());
}

TEST(SpeakPtr, ObjectDeletedBehindThePointerIsReportedNotTouched) {
    SpeakRecorder recorder;
    auto* widget = new Widget;
    WidgetPtr pointer(widget);
    delete widget;
    EXPECT_FALSE(pointer.valid());
    pointer.release();
    ASSERT_EQ(recorder.reports().size(), 1u);
    EXPECT_EQ(recorder.reports()[0].kind, Quorix::SpeakPtr::DynPtrInvalid);
    EXPECT_EQ(recorder.reports()[0].strong, 0);
    EXPECT_EQ(liveWidgets, 0);
}

TEST(SpeakPtr, StrongReferenceRetakenAtZeroCancelsDestruction) {
    SpeakRecorder recorder;
    auto* widget = new Widget;
    WidgetPtr pointer(widget);
    Quorix::detail::ControlRecord* record = pointer.controlRecord();
    Quorix::WeakPtr<Widget> keepRecord(pointer);
    delete widget;
    // another holder takes a strong reference while the count stands at zero
    Quorix::SpeakPtr::setHandler([&](const Quorix::SpeakPtr::Report& report) {
        recorder.record(report);
        if (report.kind == Quorix::SpeakPtr::DynPtrInvalid) record->strong.fetch_add(1);
    });
    pointer.release();
    ASSERT_EQ(recorder.reports().size(), 2u);
    EXPECT_EQ(recorder.reports()[1].kind, Quorix::SpeakPtr::DestructionCancelled);
    EXPECT_EQ(recorder.reports()[1].strong, 1);
    EXPECT_EQ(record->strong.load(), 1);
}

TEST(SpeakPtr, ReportsGoToStandardErrorByDefault) {
    auto* widget = new Widget;
    WidgetPtr pointer(widget);
    delete widget;
    std::string err = ConvLibTest::captureStderr([&] { pointer.release(); });
    EXPECT_NE(err.find("DynPtrInvalid"), std::string::npos) << err;
}

TEST(Chunk, TotalMemsizeFollowsLiveChunkStorage) {
    const auto before = Quorix::ChunkBase::TotalMemsize.load();
    {
        Quorix::StrongPtr<Quorix::ChunkBase> chunk(new Quorix::Chunk<double>(1000));
        EXPECT_GE(Quorix::ChunkBase::TotalMemsize.load() - before,
                  static_cast<std::int64_t>(1000 * sizeof(double)));
        auto& values = dynamic_cast<Quorix::Chunk<double>&>(*chunk);
        values.resize(5000);
        values.recount();
        EXPECT_GE(Quorix::ChunkBase::TotalMemsize.load() - before,
                  static_cast<std::int64_t>(5000 * sizeof(double)));
    }
    EXPECT_EQ(Quorix::ChunkBase::TotalMemsize.load(), before);
}

// Collects what a scan delivers, in order.
class Collector : public Quorix::Folder {
public:
    bool entryFound(const char* entry) override {
        entries.emplace_back(entry);
        return entries.size() < limit;
    }
    std::vector<std::string> entries;
    std::size_t limit = 1000;
};

TEST(Folder, ScanNamesEntriesRelativeToTheTextBeforeTheLastSlashInByteOrder) {
    TempDir dir;
    for (const char* file : {"data/f2.txt", "data/f1.dat", "data/sub/deep.dat", "data/b10.dat",
                             "data/b2.dat", "data/B.dat", "data/a.dat", "data/measured_2.dat",
                             "data/measured_10.dat", "data/measured_1"})
        dir.write(file, "1");
    dir.write("data/.out.qz.1-2-3@host.tmp", "a save under way");
    dir.write("odd[/f.dat", "1");

    using Entries = std::vector<std::string>;
    const Entries all{"B.dat",  "a.dat",      "b10.dat",         "b2.dat",         "f1.dat",
                      "f2.txt", "measured_1", "measured_10.dat", "measured_2.dat", "sub"};
    Entries inData;
    for (const std::string& entry : all)
        inData.push_back("data/" + entry);
    const std::pair<std::string, Entries> cases[] = {
        {dir / "data/", all},
        {dir / "data", inData},
        {dir / "data/*.dat",
         {"B.dat", "a.dat", "b10.dat", "b2.dat", "f1.dat", "measured_10.dat", "measured_2.dat"}},
        {dir / "odd[/*.dat", {"f.dat"}}, // through glob: '[' stays literal without its ']'
        {dir / "data/.*.tmp", {".out.qz.1-2-3@host.tmp"}}, // asked for by name
        {dir / "nothing*", {}},
        {dir / "data/f1.dat/", {}}, // a file is no folder
        {dir / "*/f1.dat", {}},     // no literal folder to name entries by
        {"", {}},
    };
    for (const auto& [name, entries] : cases) {
        Collector collector;
        EXPECT_EQ(collector.scan(name), entries.size()) << name;
        EXPECT_EQ(collector.entries, entries) << name;
    }

    Collector stopEarly;
    stopEarly.limit = 2;
    EXPECT_EQ(stopEarly.scan(dir / "data/"), 2u);
    EXPECT_EQ(stopEarly.entries, (Entries{"B.dat", "a.dat"}));
}

} // namespace

TEST(Console, WritesEachMessageWithItsEscapesUnchangedToTheSink) {
    const std::string coloured = "a \033[31mred\033[0m \033[1;36mword\033[0m";
    {
        const ConvLibTest::ScopedVariable noColour("NO_COLOR", "1");
        EXPECT_EQ(ConvLibTest::captureStdout([&] { Quorix::Console() << coloured; }),
                  coloured + "\n")
            << "standard output by default, whatever the environment says of colour";
    }

    std::vector<std::string> messages;
    Quorix::Console::Sink previous = Quorix::Console::setSink(
        [&messages](const std::string& message) { messages.push_back(message); });
    Quorix::Console() << "one " << std::string("piece");
    Quorix::Console();
    Quorix::Console::setSink({});
    EXPECT_EQ(ConvLibTest::captureStdout([] { Quorix::Console() << "nowhere"; }), "");
    Quorix::Console::setSink(previous);
    EXPECT_EQ(messages, (std::vector<std::string>{"one piece\n", "\n"}));
}
