#include "outside/plexa/detail/Hdf5.hpp"

#include "outside/Plexa.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

namespace Plexa::detail {

namespace {

// HDF5's account of a failure: every call down the stack, and the innermost call's words.
struct Account {
    std::string Calls;
    std::string Innermost;
};

herr_t appendError(unsigned, const H5E_error2_t* error, void* account) noexcept {
    auto& [calls, innermost] = *static_cast<Account*>(account);
    try {
        calls += calls.empty() ? "" : "; ";
        calls += std::string(error->func_name) + ": " + error->desc;
        innermost = error->desc;
    } catch (...) {
        return -1;
    }
    return 0;
}

herr_t collectName(const char* name, std::vector<std::string>& names) noexcept {
    try {
        names.emplace_back(name);
    } catch (...) {
        return -1;
    }
    return 0;
}

herr_t collectLink(hid_t, const char* name, const H5L_info_t*, void* names) noexcept {
    return collectName(name, *static_cast<std::vector<std::string>*>(names));
}

herr_t collectAttribute(hid_t, const char* name, const H5A_info_t*, void* names) noexcept {
    return collectName(name, *static_cast<std::vector<std::string>*>(names));
}

// An attribute's element count, once its stored bytes are known to fit in its file: memory for
// the values then stays within a few times the file's size.
std::size_t boundedCount(hid_t attribute, const Handle& space) {
    const hssize_t count =
        check(H5Sget_simple_extent_npoints(space.get()), "H5Sget_simple_extent_npoints");
    const hsize_t fileSize = fileSizeOf(attribute);
    if (storageSize(attribute) > fileSize || static_cast<hsize_t>(count) > fileSize)
        throw Failure("an attribute of " + std::to_string(count) +
                      " values, more than its file holds");
    return static_cast<std::size_t>(count);
}

// HDF5's native type for T. Called only when needed: each H5T_NATIVE_ name is a call into HDF5,
// and making all ten per lookup cost more than the rest of writing a small field.
template <class T> hid_t nativeOf() {
    if constexpr (std::is_floating_point_v<T>) {
        return sizeof(T) == sizeof(float) ? H5T_NATIVE_FLOAT : H5T_NATIVE_DOUBLE;
    } else {
        constexpr bool isSigned = std::is_signed_v<T>;
        switch (sizeof(T)) {
        case 1:
            return isSigned ? H5T_NATIVE_INT8 : H5T_NATIVE_UINT8;
        case 2:
            return isSigned ? H5T_NATIVE_INT16 : H5T_NATIVE_UINT16;
        case 4:
            return isSigned ? H5T_NATIVE_INT32 : H5T_NATIVE_UINT32;
        default:
            return isSigned ? H5T_NATIVE_INT64 : H5T_NATIVE_UINT64;
        }
    }
}

struct ElementType {
    const std::type_info* type;
    hid_t (*native)();
};

const std::vector<ElementType>& elementTypes() {
#define PLEXA_HDF5_TYPE(T, name) ElementType{&typeid(T), &nativeOf<T>},
    static const std::vector<ElementType> types{PLEXA_ELEMENT_TYPES(PLEXA_HDF5_TYPE)};
#undef PLEXA_HDF5_TYPE
    return types;
}

// UTF-8 text of a fixed width, padded with NUL bytes.
Handle makeTextType(std::size_t width) {
    Handle type(H5Tcopy(H5T_C_S1), H5Tclose, "H5Tcopy");
    check(H5Tset_size(type.get(), width), "H5Tset_size");
    check(H5Tset_strpad(type.get(), H5T_STR_NULLPAD), "H5Tset_strpad");
    check(H5Tset_cset(type.get(), H5T_CSET_UTF8), "H5Tset_cset");
    return type;
}

std::string nameOf(hid_t attribute) {
    const ssize_t length = check(H5Aget_name(attribute, 0, nullptr), "H5Aget_name");
    std::string name(static_cast<std::size_t>(length) + 1, '\0');
    check(H5Aget_name(attribute, name.size(), name.data()), "H5Aget_name");
    name.resize(static_cast<std::size_t>(length));
    return name;
}

} // namespace

QuietHdf5::QuietHdf5() noexcept : Saved(H5Eget_auto2(H5E_DEFAULT, &Printer, &PrinterData) >= 0) {
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
}

QuietHdf5::~QuietHdf5() {
    if (Saved) H5Eset_auto2(H5E_DEFAULT, Printer, PrinterData);
}

namespace {

std::atomic<bool> DetailedErrors{false};

// The text after `key` up to the first of `ends`, or empty when the stack has no such key.
std::string valueAfter(const std::string& stack, const std::string& key, const char* ends) {
    const std::size_t start = stack.find(key);
    if (start == std::string::npos) return "";
    const std::size_t from = start + key.size();
    return stack.substr(from, stack.find_first_of(ends, from) - from);
}

// What a user can act on, in words, read off HDF5's account; at least the innermost call's words.
std::string plainCause(const std::string& what, const Account& account) {
    const std::string& stack = account.Calls;
    const std::string held = valueAfter(stack, "truncated file: eof = ", ",");
    const std::string whole = valueAfter(stack, "stored_eof = ", ",;");
    if (!held.empty() && !whole.empty())
        return "truncated: holds " + held + " of " + whole + " bytes";
    if (stack.find("file signature not found") != std::string::npos) return "not an HDF5 file";
    std::string system = valueAfter(stack, "error message = '", "'");
    if (!system.empty()) {
        system.front() =
            static_cast<char>(std::tolower(static_cast<unsigned char>(system.front())));
        return system;
    }
    if (stack.find("superblock") != std::string::npos)
        return "not a readable HDF5 file: " + account.Innermost;
    return account.Innermost.empty() ? what + " failed" : what + " failed: " + account.Innermost;
}

} // namespace

std::string failureText(const std::string& what) {
    Account account;
    hid_t current = H5Eget_current_stack();
    if (current >= 0) {
        H5Ewalk2(current, H5E_WALK_DOWNWARD, appendError, &account);
        H5Eclose_stack(current);
    }
    const std::string cause = plainCause(what, account);
    if (!DetailedErrors || account.Calls.empty()) return cause;
    return cause + " (" + what + " failed: " + account.Calls + ")";
}

std::size_t typeSize(hid_t type) {
    const std::size_t size = H5Tget_size(type);
    if (size == 0) throw Failure(failureText("H5Tget_size"));
    return size;
}

hsize_t storageSize(hid_t datasetOrAttribute) {
    return H5Iget_type(datasetOrAttribute) == H5I_ATTR ? H5Aget_storage_size(datasetOrAttribute)
                                                       : H5Dget_storage_size(datasetOrAttribute);
}

Handle::Handle(hid_t id, Closer close, const char* what) : Id(check(id, what)), Close(close) {}

Handle::Handle(Handle&& other) noexcept
    : Id(std::exchange(other.Id, H5I_INVALID_HID)), Close(other.Close) {}

Handle& Handle::operator=(Handle&& other) noexcept {
    if (this != &other) {
        if (Id >= 0) Close(Id);
        Id = std::exchange(other.Id, H5I_INVALID_HID);
        Close = other.Close;
    }
    return *this;
}

Handle::~Handle() {
    if (Id >= 0) Close(Id);
}

void Handle::close(const char* what) {
    check(Close(std::exchange(Id, H5I_INVALID_HID)), what);
}

Handle createProperties(hid_t propertyClass) {
    return Handle(H5Pcreate(propertyClass), H5Pclose, "H5Pcreate");
}

Handle openGroup(hid_t parent, const std::string& name) {
    return Handle(H5Gopen2(parent, name.c_str(), H5P_DEFAULT), H5Gclose, "H5Gopen");
}

Handle openAttribute(hid_t object, const std::string& name) {
    return Handle(H5Aopen(object, name.c_str(), H5P_DEFAULT), H5Aclose, "H5Aopen");
}

Handle openDataset(hid_t parent, const std::string& name) {
    return Handle(H5Dopen2(parent, name.c_str(), H5P_DEFAULT), H5Dclose, "H5Dopen");
}

Handle makeSpace(std::size_t count) {
    if (count == 0) return Handle(H5Screate(H5S_NULL), H5Sclose, "H5Screate");
    hsize_t extent = count;
    return Handle(H5Screate_simple(1, &extent, nullptr), H5Sclose, "H5Screate_simple");
}

hsize_t fileSizeOf(hid_t object) {
    Handle file(H5Iget_file_id(object), H5Fclose, "H5Iget_file_id");
    hsize_t size = 0;
    check(H5Fget_filesize(file.get(), &size), "H5Fget_filesize");
    return size;
}

Handle makeScalarSpace() {
    return Handle(H5Screate(H5S_SCALAR), H5Sclose, "H5Screate");
}

std::vector<std::string> linkNames(hid_t group) {
    std::vector<std::string> names;
    check(H5Literate(group, H5_INDEX_NAME, H5_ITER_INC, nullptr, collectLink, &names),
          "H5Literate");
    return names;
}

std::vector<std::string> attributeNames(hid_t object) {
    std::vector<std::string> names;
    check(H5Aiterate2(object, H5_INDEX_NAME, H5_ITER_INC, nullptr, collectAttribute, &names),
          "H5Aiterate");
    return names;
}

void writeAttribute(hid_t object, const std::string& name, hid_t type, const Handle& space,
                    const void* values) {
    Handle attribute(H5Acreate2(object, name.c_str(), type, space.get(), H5P_DEFAULT, H5P_DEFAULT),
                     H5Aclose, "H5Acreate");
    if (check(H5Sget_simple_extent_type(space.get()), "H5Sget_simple_extent_type") != H5S_NULL)
        check(H5Awrite(attribute.get(), type, values), "H5Awrite");
}

void writeTextAttribute(hid_t object, const std::string& name,
                        const std::vector<std::string>& texts, const Handle& space) {
    std::size_t width = 1; // HDF5 has no text type of width 0
    for (const std::string& text : texts)
        width = std::max(width, text.size());
    std::string packed(texts.size() * width, '\0');
    for (std::size_t i = 0; i < texts.size(); ++i)
        texts[i].copy(&packed[i * width], width);
    writeAttribute(object, name, makeTextType(width).get(), space, packed.data());
}

std::vector<std::string> readTexts(hid_t attribute) {
    Handle space(H5Aget_space(attribute), H5Sclose, "H5Aget_space");
    const std::size_t count = boundedCount(attribute, space);
    Handle stored(H5Aget_type(attribute), H5Tclose, "H5Aget_type");
    if (check(H5Tis_variable_str(stored.get()), "H5Tis_variable_str") > 0)
        throw Failure(nameOf(attribute) +
                      ": a text of variable length, which bundle files do not store");
    if (count == 0) return {};
    // the stored width and character set, read NUL-padded whatever the stored padding
    Handle type(H5Tcopy(stored.get()), H5Tclose, "H5Tcopy");
    check(H5Tset_strpad(type.get(), H5T_STR_NULLPAD), "H5Tset_strpad");
    const std::size_t width = typeSize(type.get());
    if (count > std::numeric_limits<std::size_t>::max() / width)
        throw Failure("a text attribute of impossible size");
    std::string packed(count * width, '\0');
    check(H5Aread(attribute, type.get(), packed.data()), "H5Aread");
    std::vector<std::string> texts;
    texts.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const char* text = packed.data() + i * width;
        texts.emplace_back(text, ::strnlen(text, width));
    }
    return texts;
}

template <class T> std::vector<T> readNumbers(hid_t attribute) {
    Handle space(H5Aget_space(attribute), H5Sclose, "H5Aget_space");
    const std::size_t count = boundedCount(attribute, space);
    std::vector<T> values(count);
    if (count > 0) check(H5Aread(attribute, nativeType(typeid(T)), values.data()), "H5Aread");
    return values;
}

template std::vector<double> readNumbers<double>(hid_t);
template std::vector<std::int32_t> readNumbers<std::int32_t>(hid_t);
template std::vector<std::int64_t> readNumbers<std::int64_t>(hid_t);
template std::vector<std::uint64_t> readNumbers<std::uint64_t>(hid_t);

std::vector<double> readDoubles(hid_t object, const std::string& name) {
    return readNumbers<double>(openAttribute(object, name).get());
}

std::string readText(hid_t object, const std::string& name) {
    std::vector<std::string> texts = readTexts(openAttribute(object, name).get());
    if (texts.size() != 1) throw Failure("attribute " + name + " does not hold one text");
    return texts.front();
}

bool hasAttribute(hid_t object, const std::string& name) {
    return check(H5Aexists(object, name.c_str()), "H5Aexists") > 0;
}

hid_t nativeType(const std::type_info& type) {
    // the same object almost always: comparing type names costs more than a small field's write
    for (const ElementType& element : elementTypes())
        if (element.type == &type) return element.native();
    for (const ElementType& element : elementTypes())
        if (*element.type == type) return element.native();
    throw Failure(std::string("unsupported element type ") + type.name());
}

const std::type_info* elementTypeOf(hid_t type) {
    Handle native(H5Tget_native_type(type, H5T_DIR_ASCEND), H5Tclose, "H5Tget_native_type");
    for (const ElementType& element : elementTypes())
        if (check(H5Tequal(native.get(), element.native()), "H5Tequal") > 0) return element.type;
    return nullptr;
}

const std::type_info* elementTypeNamed(const std::string& name) {
    for (const ElementType& element : elementTypes())
        if (name == elementTypeName(*element.type)) return element.type;
    return nullptr;
}

} // namespace Plexa::detail

namespace Plexa {

void setDetailedErrors(bool detailed) noexcept {
    detail::DetailedErrors = detailed;
}

} // namespace Plexa
