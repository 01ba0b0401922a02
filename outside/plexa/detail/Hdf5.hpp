// Thin layer over the HDF5 C API: owned handles, checked calls and the attribute helpers that the
// bundle reader and writer share. Internal to Plexa.
#pragma once

#include <hdf5.h>

#include "outside/plexa/detail/Failure.hpp"

#include <cstddef>
#include <string>
#include <typeinfo>
#include <vector>

namespace Plexa::detail {

// Keeps HDF5 from printing its error stack while our calls run, since we turn failures into
// messages of our own; the host program's setting comes back when the scope ends.
class QuietHdf5 {
public:
    QuietHdf5() noexcept;
    ~QuietHdf5();
    QuietHdf5(const QuietHdf5&) = delete;
    QuietHdf5& operator=(const QuietHdf5&) = delete;

private:
    H5E_auto2_t Printer = nullptr;
    void* PrinterData = nullptr;
    bool Saved = false;
};

// Takes the calling thread's HDF5 error stack (and clears it) as one line after `what`.
std::string failureText(const std::string& what);

// Every HDF5 call goes through here: a negative answer becomes a Failure.
template <class Result> Result check(Result result, const char* what) {
    if (result < 0) throw Failure(failureText(what));
    return result;
}

// H5Tget_size, whose failure answers 0 rather than a negative number.
std::size_t typeSize(hid_t type);

// The bytes HDF5 stores of a dataset's or attribute's values. HDF5 answers 0 both for none and
// for a failure; every caller reads 0 as "nothing stored", the cautious reading.
hsize_t storageSize(hid_t datasetOrAttribute);

// Owns an HDF5 identifier and closes it with the matching function.
class Handle {
public:
    using Closer = herr_t (*)(hid_t);

    Handle() noexcept = default;
    // Checks the identifier first: a failed open throws with `what`.
    Handle(hid_t id, Closer close, const char* what);
    Handle(Handle&& other) noexcept;
    Handle& operator=(Handle&& other) noexcept;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle();

    hid_t get() const noexcept { return Id; }
    // Closes now and reports a failure, for closes that flush data.
    void close(const char* what);

private:
    hid_t Id = H5I_INVALID_HID;
    Closer Close = nullptr;
};

Handle createProperties(hid_t propertyClass);
Handle openGroup(hid_t parent, const std::string& name);
Handle openDataset(hid_t parent, const std::string& name);
Handle openAttribute(hid_t object, const std::string& name);
// A 1-D dataspace of count elements; a null dataspace when count is 0.
Handle makeSpace(std::size_t count);
Handle makeScalarSpace();
// The size in bytes of the file that holds the object.
hsize_t fileSizeOf(hid_t object);
// The names of a group's links or an object's attributes, in name order.
std::vector<std::string> linkNames(hid_t group);
std::vector<std::string> attributeNames(hid_t object);

void writeAttribute(hid_t object, const std::string& name, hid_t type, const Handle& space,
                    const void* values);
void writeTextAttribute(hid_t object, const std::string& name,
                        const std::vector<std::string>& texts, const Handle& space);
// Texts are stored with a fixed length: reading variable-length ones goes through HDF5's global
// heap, where a damaged file crashes or hangs HDF5 itself, so those are refused.
std::vector<std::string> readTexts(hid_t attribute);
// Values of a numeric attribute, converted to the memory type of T.
template <class T> std::vector<T> readNumbers(hid_t attribute);
std::vector<double> readDoubles(hid_t object, const std::string& name);
std::string readText(hid_t object, const std::string& name);
bool hasAttribute(hid_t object, const std::string& name);

// The native HDF5 type of a supported array element type; throws for others.
hid_t nativeType(const std::type_info& type);
// The array element type that holds values of an HDF5 type; null when none does.
const std::type_info* elementTypeOf(hid_t type);
// The array element type with the short name ("float64"); null when none has it.
const std::type_info* elementTypeNamed(const std::string& name);

} // namespace Plexa::detail
