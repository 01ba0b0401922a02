// Quorix: the core library. Intrusively counted shared objects with strong and weak pointers,
// string lists, folder scanning, console messages, attributes and data chunks, global counters.
#pragma once

#include "outside/QuorixExport.hpp"
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

namespace Quorix {

// Serials of pointers and objects; unique within a process, never reused.
QUORIX_API extern std::atomic<std::uint64_t> PointerID;

class Referenced;

namespace detail {

// Shared by an object and every pointer to it. The object itself holds one weak reference, so the
// record outlives the object as long as any weak pointer still asks about it.
struct ControlRecord {
    std::atomic<std::int32_t> strong{0};
    std::atomic<std::int32_t> weak{1};
    std::atomic<Referenced*> object;
    explicit ControlRecord(Referenced* o) : object(o) {}
};

QUORIX_API void dropWeak(ControlRecord* record) noexcept;

} // namespace detail

// Anomalies of the release protocol. They go to standard error unless a handler is installed.
struct QUORIX_API SpeakPtr {
    enum Kind { WarningUnctionChange, DynPtrInvalid, DestructionCancelled };
    struct Report {
        Kind kind;
        std::int32_t strong;
        std::int32_t weak;
        const std::type_info* base;
    };
    using Handler = std::function<void(const Report&)>;
    // Returns the previous handler; an empty handler restores the default.
    static Handler setHandler(Handler handler);
    static void speak(Kind kind, std::int32_t strong, std::int32_t weak,
                      const std::type_info& base) noexcept;
    static const char* name(Kind kind) noexcept;
};

// Root of every shared object: owns the control record.
class QUORIX_API Referenced {
public:
    Referenced();
    // A copy is a new object: serial and control record are identity, never copied or assigned.
    Referenced(const Referenced&);
    // cppcheck-suppress operatorEqVarError
    Referenced& operator=(const Referenced&) { return *this; }
    virtual ~Referenced();

    // Called while the last strong reference is being released, before the count drops.
    virtual void extremeUnction() {}

    std::uint64_t serial() const noexcept { return Serial; }
    std::int32_t strongCount() const noexcept { return Record->strong.load(); }
    std::int32_t weakCount() const noexcept { return Record->weak.load(); }
    detail::ControlRecord* controlRecord() const noexcept { return Record; }

private:
    std::uint64_t Serial;
    detail::ControlRecord* Record;
};

template <class T> class QUORIX_API ReferenceBase : public Referenced {
public:
    // Numbers objects of type T in order of construction; the first one is 1.
    static inline std::atomic<std::uint64_t> MaxObjectCountID{1};

    ReferenceBase() : ObjectNumber(MaxObjectCountID++) {}
    ReferenceBase(const ReferenceBase&) : Referenced(), ObjectNumber(MaxObjectCountID++) {}
    // cppcheck-suppress operatorEqVarError
    ReferenceBase& operator=(const ReferenceBase&) { return *this; }

    std::uint64_t objectNumber() const noexcept { return ObjectNumber; }

private:
    std::uint64_t ObjectNumber;
};

// Called when an object gains its first strong reference through a pointer over Base.
template <class Base> struct DeferredInitializationTrait {
    static void call(Base*) {}
};

template <class T, class Base = T> class StrongPtr;
template <class T, class Base = T> class WeakPtr;

namespace detail {

// What strong and weak pointers share: a serial, the record and the object as T.
template <class T> class PointerBase {
public:
    std::uint64_t serial() const noexcept { return Serial; }

    // A pointer is valid while its object lives and has not started to die.
    bool valid() const noexcept {
        return Record && Record->object.load() && Object && Record->strong.load() >= 0;
    }
    explicit operator bool() const noexcept { return valid(); }
    T* rawptr() const noexcept { return valid() ? Object : nullptr; }
    ControlRecord* controlRecord() const noexcept { return Record; }

    template <class U> bool operator==(const PointerBase<U>& other) const noexcept {
        return Record == other.controlRecord();
    }
    template <class U> bool operator!=(const PointerBase<U>& other) const noexcept {
        return !(*this == other);
    }

protected:
    PointerBase() noexcept : Serial(PointerID++) {}

    std::uint64_t Serial;
    ControlRecord* Record = nullptr;
    T* Object = nullptr;
};

} // namespace detail

// Owning pointer. Base names the type whose deferred initialisation runs and whose name the
// protocol reports; T is what the pointer hands out.
template <class T, class Base> class StrongPtr : public detail::PointerBase<T> {
    using detail::PointerBase<T>::Record;
    using detail::PointerBase<T>::Object;

public:
    StrongPtr() noexcept = default;
    StrongPtr(std::nullptr_t) noexcept {}
    // Takes a live object; the record sits in the object, so a raw pointer is enough.
    explicit StrongPtr(T* object) { take(object); }
    StrongPtr(const StrongPtr& other) : detail::PointerBase<T>() { take(other.rawptr()); }
    StrongPtr(StrongPtr&& other) noexcept : detail::PointerBase<T>() { steal(other); }
    template <class U, class B, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    StrongPtr(const StrongPtr<U, B>& other) {
        take(other.rawptr());
    }
    template <class U, class B, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    explicit StrongPtr(const WeakPtr<U, B>& other) {
        lock(other.controlRecord(), other.rawptr());
    }
    ~StrongPtr() { release(); }

    StrongPtr& operator=(const StrongPtr& other) {
        if (this != &other) reset(other.rawptr());
        return *this;
    }
    StrongPtr& operator=(StrongPtr&& other) noexcept {
        if (this != &other) {
            release();
            steal(other);
        }
        return *this;
    }

    // Takes the new object before letting go of the old one, so assigning a pointer that the
    // old object owns stays safe.
    void reset(T* object = nullptr) {
        StrongPtr keep(std::move(*this));
        take(object);
    }

    T* operator->() const noexcept { return Object; }
    T& operator*() const noexcept { return *Object; }

    // The release protocol; after it the pointer is empty.
    void release() noexcept {
        detail::ControlRecord* record = Record;
        T* object = Object;
        Record = nullptr;
        Object = nullptr;
        if (!record) return;
        releaseStrong(record, object);
        detail::dropWeak(record);
    }

private:
    template <class, class> friend class StrongPtr;

    // A live object: its first strong reference may come from here.
    void take(T* object) {
        if (object) takeFrom(static_cast<const Referenced*>(object)->controlRecord(), object, 0);
    }

    // Through a weak pointer the object may be dying on another thread, so the record is reached
    // without touching the object, and a count that reached zero is never raised again.
    void lock(detail::ControlRecord* record, T* object) {
        if (record && object) takeFrom(record, object, 1);
    }

    // Stays empty unless the strong count was at least `lowest`.
    void takeFrom(detail::ControlRecord* record, T* object, std::int32_t lowest) {
        std::int32_t count = record->strong.load(std::memory_order_relaxed);
        while (count >= lowest &&
               !record->strong.compare_exchange_weak(count, count + 1, std::memory_order_acquire,
                                                     std::memory_order_relaxed)) {
        }
        if (count < lowest) return;
        record->weak.fetch_add(1, std::memory_order_relaxed);
        Record = record;
        Object = object;
        if (count == 0) DeferredInitializationTrait<Base>::call(static_cast<Base*>(object));
    }

    void steal(StrongPtr& other) noexcept {
        Record = std::exchange(other.Record, nullptr);
        Object = std::exchange(other.Object, nullptr);
    }

    static void releaseStrong(detail::ControlRecord* record, T* object) noexcept {
        // Another holder remains: one atomic step, so two threads releasing the last two
        // references cannot both skip the last-reference steps.
        std::int32_t count = record->strong.load(std::memory_order_relaxed);
        while (count > 1 &&
               !record->strong.compare_exchange_weak(count, count - 1, std::memory_order_release,
                                                     std::memory_order_relaxed)) {
        }
        if (count != 1) return;
        // an object deleted behind its pointers' back is reported, never touched again
        const bool alive = record->object.load(std::memory_order_acquire) != nullptr;
        if (alive) {
            object->extremeUnction();
            if (record->strong.load() != 1) speak(SpeakPtr::WarningUnctionChange, record);
        }
        if (record->strong.fetch_sub(1, std::memory_order_release) != 1) return;
        if (!alive) speak(SpeakPtr::DynPtrInvalid, record);
        // acquire: every other holder's last use of the object happens before the delete
        std::int32_t expected = 0;
        if (!record->strong.compare_exchange_strong(expected, -111, std::memory_order_acquire)) {
            speak(SpeakPtr::DestructionCancelled, record);
        } else if (alive) {
            delete static_cast<Referenced*>(object);
        }
    }

    static void speak(SpeakPtr::Kind kind, detail::ControlRecord* record) noexcept {
        SpeakPtr::speak(kind, record->strong.load(), record->weak.load(), typeid(Base));
    }
};

// Observing pointer: keeps the record, not the object.
template <class T, class Base> class WeakPtr : public detail::PointerBase<T> {
    using detail::PointerBase<T>::Record;
    using detail::PointerBase<T>::Object;

public:
    WeakPtr() noexcept = default;
    WeakPtr(std::nullptr_t) noexcept {}
    explicit WeakPtr(T* object) noexcept { observe(object); }
    template <class U, class B, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    WeakPtr(const StrongPtr<U, B>& other) noexcept {
        observe(other.rawptr());
    }
    WeakPtr(const WeakPtr& other) noexcept : detail::PointerBase<T>() {
        attach(other.Record, other.rawptr());
    }
    WeakPtr& operator=(const WeakPtr& other) noexcept {
        if (this != &other) {
            release();
            attach(other.Record, other.rawptr());
        }
        return *this;
    }
    ~WeakPtr() { release(); }

    T* operator->() const noexcept { return Object; }
    StrongPtr<T, Base> lock() const { return StrongPtr<T, Base>(*this); }

    void release() noexcept {
        if (Record) detail::dropWeak(std::exchange(Record, nullptr));
        Object = nullptr;
    }

private:
    void observe(T* object) noexcept {
        if (object) attach(static_cast<const Referenced*>(object)->controlRecord(), object);
    }

    // A copied weak pointer hands over its record, since its object may be dying on another
    // thread and must not be touched.
    void attach(detail::ControlRecord* record, T* object) noexcept {
        if (!record || !object) return;
        Record = record;
        Record->weak.fetch_add(1, std::memory_order_relaxed);
        Object = object;
    }
};

// Strong pointer made by a run-time type test: empty when the object is no T.
template <class T, class Base = T> class DynPtr : public StrongPtr<T, Base> {
public:
    DynPtr() noexcept = default;
    template <class U, class B>
    DynPtr(const StrongPtr<U, B>& other) : StrongPtr<T, Base>(dynamic_cast<T*>(other.rawptr())) {}
};

// ---------------------------------------------------------------------------------------------
// Plain shared objects

class QUORIX_API StringList : public ReferenceBase<StringList>, public std::list<std::string> {
public:
    StringList() = default;
    StringList(std::initializer_list<std::string> names) : std::list<std::string>(names) {}
    explicit StringList(std::list<std::string> names) : std::list<std::string>(std::move(names)) {}
    bool contains(const std::string& name) const;
};

// Scans folders and glob patterns; subclasses receive each entry.
class QUORIX_API Folder {
public:
    virtual ~Folder();
    // Returning false stops the scan.
    virtual bool entryFound(const char* entry) = 0;
    // A folder yields its entries (no recursion, no hidden ones), a pattern its matches, each
    // named relative to the text of name up to its last '/', in byte order. Returns the count
    // delivered.
    std::size_t scan(const std::string& name);
};

class QUORIX_API LoaderParameters : public ReferenceBase<LoaderParameters> {
public:
    explicit LoaderParameters(std::list<std::string> files) : Files(std::move(files)) {}
    explicit LoaderParameters(const std::string& file) : Files{file} {}
    std::list<std::string> Files;
};

// One message, written with a line end when the object dies, to the process's console sink: the
// text exactly as given, ANSI escape sequences included. Whether colour suits the place the text
// ends up in is for the sink to decide.
class QUORIX_API Console {
public:
    // Takes each whole message, its line end included.
    using Sink = std::function<void(const std::string& message)>;
    // Where every message of the process goes from now on (default: standard output; an empty
    // sink: nowhere). Returns the sink it replaces.
    static Sink setSink(Sink sink);
    // A sink that writes each message to the stream and flushes it.
    static Sink streamSink(std::FILE* stream);

    Console() = default;
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;
    ~Console();
    Console& operator<<(const char* text);
    Console& operator<<(const std::string& text);

private:
    std::string Text;
};

// Global change counter: a changed object takes the counter's value after an increment.
class QUORIX_API Ageable {
public:
    static std::atomic<std::uint64_t> GlobalTime;

    std::uint64_t age() const noexcept { return Age; }
    void setAge(std::uint64_t age) noexcept { Age = age; }
    // Marks the object as changed now and returns its new age.
    std::uint64_t touch() noexcept { return Age = ++GlobalTime; }

private:
    std::uint64_t Age = 0;
};

// ---------------------------------------------------------------------------------------------
// Data chunks

class QUORIX_API ChunkBase : public ReferenceBase<ChunkBase> {
public:
    // Bytes held by all live chunks' element storage.
    static std::atomic<std::int64_t> TotalMemsize;

    ~ChunkBase() override;
    virtual const std::type_info& elementType() const = 0;
    virtual std::size_t elementCount() const = 0;

protected:
    ChunkBase() = default;
    ChunkBase(const ChunkBase&) = default;
    // Moves this chunk's share of TotalMemsize to the new storage size.
    void account(std::int64_t bytes) noexcept;

private:
    std::int64_t Counted = 0;
};

template <class T> class QUORIX_API TypedChunkBase : public ChunkBase {
public:
    const std::type_info& elementType() const override { return typeid(T); }
};

template <class T> class QUORIX_API TypedChunk : public TypedChunkBase<T> {};

template <class T> class QUORIX_API Chunk : public TypedChunk<T>, public std::vector<T> {
public:
    Chunk() = default;
    explicit Chunk(std::size_t n, const T& value = T()) : std::vector<T>(n, value) { recount(); }
    Chunk(std::initializer_list<T> values) : std::vector<T>(values) { recount(); }
    Chunk(const Chunk& other) : TypedChunk<T>(), std::vector<T>(other) { recount(); }
    ~Chunk() override = default;

    std::size_t elementCount() const override { return std::vector<T>::size(); }

    // Chunks that grow after construction call this to keep TotalMemsize honest.
    void recount() noexcept {
        this->account(static_cast<std::int64_t>(std::vector<T>::capacity() * sizeof(T)));
    }
};

// Named chunks of an object, persisted with it by the data model.
class QUORIX_API Attributes {
public:
    StrongPtr<ChunkBase> getAttribute(const std::string& name) const;
    void setAttribute(const std::string& name, const StrongPtr<ChunkBase>& value);
    void removeAttribute(const std::string& name);
    const std::map<std::string, StrongPtr<ChunkBase>>& attributes() const noexcept {
        return Values;
    }

private:
    std::map<std::string, StrongPtr<ChunkBase>> Values;
};

// ---------------------------------------------------------------------------------------------
// Interfaces: shared objects that answer questions of a domain, such as storage policies

struct QUORIX_API TypeInfo {
    const std::type_info* type = &typeid(void);
};

// Type-keyed lookup, so an interface can tell which questions it answers.
template <class Info> class typemap {
public:
    void setType(const std::type_info& key, Info info) { Entries[key.name()] = info; }
    const Info* findType(const std::type_info& key) const {
        auto found = Entries.find(key.name());
        return found == Entries.end() ? nullptr : &found->second;
    }

private:
    std::map<std::string, Info> Entries;
};

// What an interface is applied to; empty unless a domain fills it.
class QUORIX_API Intercube : public Attributes {};

class QUORIX_API InterfaceIterationParameter : public ReferenceBase<InterfaceIterationParameter> {};

class QUORIX_API InterfaceBase : public ReferenceBase<InterfaceBase> {
public:
    virtual const std::type_info& getInterfaceDomain() const = 0;
    virtual bool apply_const(const Intercube&,
                             const StrongPtr<InterfaceIterationParameter>&) const {
        return false;
    }
    virtual bool apply(Intercube&, const StrongPtr<InterfaceIterationParameter>&) { return false; }
};

template <class T> class QUORIX_API Interface : public InterfaceBase {
public:
    const std::type_info& getInterfaceDomain() const override { return typeid(T); }
};

// Bases of the data model's arrays.
class QUORIX_API Cacheable : public ReferenceBase<Cacheable> {};
class QUORIX_API Creature : public ReferenceBase<Creature> {};

} // namespace Quorix
