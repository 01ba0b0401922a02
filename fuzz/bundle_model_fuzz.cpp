// Well-formed HDF5 files of any shape, built by the input: links of every kind, odd element
// types, huge extents without stored bytes, stray attributes and names. HDF5 parses them fine, so
// the bundle reader's own checks get the attention that raw bytes spend inside HDF5.
#include "fuzz/FuzzFile.hpp"
#include "outside/Plexa.hpp"

#include <fuzzer/FuzzedDataProvider.h>
#include <hdf5.h>

#include <algorithm>
#include <vector>

namespace {

using namespace ConvLibFuzz;

hid_t textType(FuzzedDataProvider& input) {
    hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_size(type, input.ConsumeBool() ? H5T_VARIABLE : input.ConsumeIntegralInRange(1, 16));
    H5Tset_cset(type, input.ConsumeBool() ? H5T_CSET_UTF8 : H5T_CSET_ASCII);
    return type;
}

// A copy of some element type, the readable ones and others; close it with H5Tclose.
hid_t elementType(FuzzedDataProvider& input) {
    const hid_t plain[] = {H5T_NATIVE_INT8,    H5T_NATIVE_UINT16, H5T_NATIVE_INT32,
                           H5T_STD_U64BE,      H5T_NATIVE_FLOAT,  H5T_IEEE_F64BE,
                           H5T_NATIVE_LDOUBLE, H5T_NATIVE_B8,     H5T_STD_I64LE};
    switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0:
        return textType(input);
    case 1: {
        hid_t pair = H5Tcreate(H5T_COMPOUND, 8);
        H5Tinsert(pair, "a", 0, H5T_NATIVE_INT32);
        H5Tinsert(pair, "b", 4, H5T_NATIVE_FLOAT);
        return pair;
    }
    default:
        return H5Tcopy(input.PickValueInArray(plain));
    }
}

hid_t dataSpace(FuzzedDataProvider& input, bool huge) {
    const int rank = input.ConsumeIntegralInRange(0, 3);
    if (rank == 0) return H5Screate(input.ConsumeBool() ? H5S_SCALAR : H5S_NULL);
    std::vector<hsize_t> extent(static_cast<std::size_t>(rank));
    for (hsize_t& size : extent)
        size = huge && input.ConsumeBool() ? hsize_t(1) << input.ConsumeIntegralInRange(20, 62)
                                           : input.ConsumeIntegralInRange<hsize_t>(0, 5);
    return H5Screate_simple(rank, extent.data(), nullptr);
}

void writeAttribute(FuzzedDataProvider& input, hid_t object, const std::string& name) {
    hid_t type = elementType(input);
    hid_t space = dataSpace(input, false);
    hid_t attribute = H5Acreate2(object, name.c_str(), type, space, H5P_DEFAULT, H5P_DEFAULT);
    const std::string text = input.ConsumeRandomLengthString(12);
    if (attribute >= 0 && H5Tis_variable_str(type) > 0) {
        std::vector<const char*> texts(static_cast<std::size_t>(H5Sget_select_npoints(space)),
                                       text.c_str());
        H5Awrite(attribute, type, texts.data());
    }
    if (attribute >= 0) H5Aclose(attribute);
    H5Sclose(space);
    H5Tclose(type);
}

void writeTextAttribute(hid_t object, const char* name, const std::string& text) {
    hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_size(type, std::max<std::size_t>(text.size(), 1));
    H5Tset_cset(type, H5T_CSET_UTF8);
    hid_t space = H5Screate(H5S_SCALAR);
    hid_t attribute = H5Acreate2(object, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
    const std::string value = text.empty() ? std::string(1, '\0') : text;
    if (attribute >= 0) {
        H5Awrite(attribute, type, value.data());
        H5Aclose(attribute);
    }
    H5Sclose(space);
    H5Tclose(type);
}

hid_t fieldProperties(FuzzedDataProvider& input, hid_t space) {
    hid_t properties = H5Pcreate(H5P_DATASET_CREATE);
    const int rank = H5Sget_simple_extent_ndims(space);
    if (rank > 0 && input.ConsumeBool()) {
        std::vector<hsize_t> chunk(static_cast<std::size_t>(rank), 1);
        H5Pset_chunk(properties, rank, chunk.data());
        if (input.ConsumeBool()) H5Pset_deflate(properties, 6);
        if (input.ConsumeBool()) H5Pset_shuffle(properties);
        if (input.ConsumeBool()) H5Pset_fletcher32(properties);
    }
    // huge extents stay without stored bytes, or making the file would take forever
    hsize_t extent[H5S_MAX_RANK] = {};
    H5Sget_simple_extent_dims(space, extent, nullptr);
    if (*std::max_element(extent, extent + H5S_MAX_RANK) <= 5 && input.ConsumeBool())
        H5Pset_alloc_time(properties, H5D_ALLOC_TIME_EARLY);
    if (input.ConsumeBool()) H5Pset_fill_time(properties, H5D_FILL_TIME_NEVER);
    return properties;
}

void writeField(FuzzedDataProvider& input, hid_t grid, const std::string& name) {
    hid_t type = elementType(input);
    hid_t space = dataSpace(input, true);
    hid_t properties = fieldProperties(input, space);
    hid_t field = H5Dcreate2(grid, name.c_str(), type, space, H5P_DEFAULT, properties, H5P_DEFAULT);
    if (field >= 0) {
        if (input.ConsumeBool())
            writeTextAttribute(
                field, "MemoryType",
                input.PickValueInArray({"float64", "int8", "uint64", "float32", "bool"}));
        if (input.ConsumeBool()) writeAttribute(input, field, "Shift");
        for (const char* packing : {"scale_factor", "add_offset", "_FillValue"})
            if (input.ConsumeIntegralInRange(0, 3) == 0) writeAttribute(input, field, packing);
        H5Dclose(field);
    }
    H5Pclose(properties);
    H5Sclose(space);
    H5Tclose(type);
}

void addLink(FuzzedDataProvider& input, hid_t file, hid_t group, const std::string& name) {
    switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0:
        H5Lcreate_soft(input.PickValueInArray({"/", "/000000", "missing", "."}), group,
                       name.c_str(), H5P_DEFAULT, H5P_DEFAULT);
        break;
    case 1:
        H5Lcreate_external("other.qz", "/", group, name.c_str(), H5P_DEFAULT, H5P_DEFAULT);
        break;
    default:
        H5Lcreate_hard(file, input.PickValueInArray({"/", "/000000"}), group, name.c_str(),
                       H5P_DEFAULT, H5P_DEFAULT);
    }
}

std::string nameOf(FuzzedDataProvider& input, const char* usual) {
    return input.ConsumeBool() ? usual : input.ConsumeRandomLengthString(8);
}

// The axes of a structured grid: its description and axis datasets, of any type and shape, in the
// axes group as older files have them or in the grid's group as coordinate variables ("%" is an
// empty axis name escaped).
void writeAxes(FuzzedDataProvider& input, hid_t grid) {
    hid_t axes = H5Gcreate2(grid, ".axes", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    if (axes < 0) return;
    for (const char* name : {"Extent", "Names", "Uniform"})
        if (input.ConsumeIntegralInRange(0, 5) > 0) writeAttribute(input, axes, name);
    for (int i = input.ConsumeIntegralInRange(0, 3); i > 0; --i) {
        const bool coordinateVariable = input.ConsumeBool();
        hid_t axis = coordinateVariable ? grid : axes;
        writeField(input, axis,
                   nameOf(input, coordinateVariable ? "%" : std::to_string(i - 1).c_str()));
        for (const char* name : {"Origin", "Spacing"})
            if (coordinateVariable && input.ConsumeBool()) {
                hid_t dataset = H5Dopen2(grid, "%", H5P_DEFAULT);
                if (dataset >= 0) {
                    writeAttribute(input, dataset, name);
                    H5Dclose(dataset);
                }
            }
    }
    H5Gclose(axes);
}

void writeGrid(FuzzedDataProvider& input, hid_t file, hid_t slice) {
    hid_t grid =
        H5Gcreate2(slice, nameOf(input, "grid").c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    if (grid < 0) return;
    for (int i = input.ConsumeIntegralInRange(0, 2); i > 0; --i)
        writeAttribute(input, grid, nameOf(input, "note"));
    if (input.ConsumeIntegralInRange(0, 3) == 0) writeAxes(input, grid);
    for (int i = input.ConsumeIntegralInRange(0, 3); i > 0; --i) {
        if (input.ConsumeIntegralInRange(0, 4) == 0)
            addLink(input, file, grid, nameOf(input, "link"));
        else
            writeField(input, grid,
                       nameOf(input, input.PickValueInArray({"f", "f%#0", "f%#1", "f%#x"})));
    }
    H5Gclose(grid);
}

void writeFile(FuzzedDataProvider& input, const std::string& name) {
    hid_t file = H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    require(file >= 0, "the scratch file can be made");
    // the current format reads packing attributes and fields split by component
    static const char* const formats[] = {"bundle 1", "bundle 2", "bundle 3"};
    writeTextAttribute(file, "PlexaFormat", formats[input.ConsumeIntegralInRange(0, 2)]);
    for (int i = input.ConsumeIntegralInRange(1, 3); i > 0; --i) {
        hid_t slice = H5Gcreate2(file, nameOf(input, "000000").c_str(), H5P_DEFAULT, H5P_DEFAULT,
                                 H5P_DEFAULT);
        if (slice < 0) continue;
        if (input.ConsumeIntegralInRange(0, 5) == 0)
            writeAttribute(input, slice, "Time");
        else {
            const double time = input.ConsumeFloatingPoint<double>();
            hid_t space = H5Screate(H5S_SCALAR);
            hid_t attribute =
                H5Acreate2(slice, "Time", H5T_NATIVE_DOUBLE, space, H5P_DEFAULT, H5P_DEFAULT);
            H5Awrite(attribute, H5T_NATIVE_DOUBLE, &time);
            H5Aclose(attribute);
            H5Sclose(space);
        }
        for (int j = input.ConsumeIntegralInRange(0, 2); j > 0; --j)
            writeGrid(input, file, slice);
        H5Gclose(slice);
    }
    H5Fclose(file);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string file = scratchFolder() + "/model.qz";
    writeFile(input, file);

    bool success = false;
    Plexa::BundlePtr bundle = Plexa::Bundle::load(
        success, Quorix::StrongPtr<Quorix::LoaderParameters>(new Quorix::LoaderParameters(file)),
        Plexa::BundlePtr(nullptr));
    if (!success)
        require(bundle->slices().empty() && !bundle->lastError().empty() &&
                    printable(bundle->lastError()),
                "a failed load adds nothing and says why in one printable line",
                bundle->lastError());
    std::vector<Plexa::StoredField> fields;
    std::string error;
    if (!Plexa::describeFile(file, fields, error))
        require(printable(error), "a failed description says why", error);
    require(H5Fget_obj_count(H5F_OBJ_ALL, H5F_OBJ_ALL) == 0, "every HDF5 object is closed");
    return 0;
}
