#include "bench/PlainBundle.hpp"

#include <hdf5.h>
#include <hdf5_hl.h>

#include <algorithm>
#include <limits>
#include <map>
#include <vector>

namespace Bench {

namespace {

std::vector<hsize_t> shapeOf(const Plexa::MemBase& data) {
    if (data.components() == 1) return {data.size()};
    return {data.size(), static_cast<hsize_t>(data.components())};
}

// Per component, the middle of the values' range.
std::vector<double> plainShift(const Plexa::MemBase& data) {
    const auto components = static_cast<std::size_t>(data.components());
    const auto* values = static_cast<const double*>(data.rawData());
    std::vector<double> low(components, std::numeric_limits<double>::infinity());
    std::vector<double> high(components, -std::numeric_limits<double>::infinity());
    for (std::size_t i = 0; i < data.elementCount(); ++i) {
        low[i % components] = std::min(low[i % components], values[i]);
        high[i % components] = std::max(high[i % components], values[i]);
    }
    std::vector<double> shift(components);
    for (std::size_t c = 0; c < components; ++c)
        shift[c] = low[c] / 2 + high[c] / 2;
    return shift;
}

std::vector<float> plainConvert(const Plexa::MemBase& data, const std::vector<double>& shift) {
    const auto* values = static_cast<const double*>(data.rawData());
    std::vector<float> stored(data.elementCount());
    for (std::size_t i = 0; i < stored.size(); ++i)
        stored[i] = static_cast<float>(values[i] - shift[i % shift.size()]);
    return stored;
}

// Chunks of about 1 MiB of floats (or int32), shuffled and deflated at level 6.
hid_t packedProperties(const std::vector<hsize_t>& shape) {
    std::vector<hsize_t> chunk = shape;
    const hsize_t rowBytes = sizeof(float) * (shape.size() > 1 ? shape[1] : 1);
    chunk[0] = std::clamp<hsize_t>((1u << 20) / rowBytes, 1, shape[0]);
    hid_t properties = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_chunk(properties, static_cast<int>(chunk.size()), chunk.data());
    H5Pset_shuffle(properties);
    H5Pset_deflate(properties, 6);
    return properties;
}

void writeAttribute(hid_t dataset, const char* name, hid_t type, hid_t space, const void* value) {
    hid_t attribute = H5Acreate2(dataset, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
    H5Awrite(attribute, type, value);
    H5Aclose(attribute);
}

// What a save with the packed policy stores beside the values.
void writePackedAttributes(hid_t dataset, const std::vector<double>& shift) {
    const hsize_t components = shift.size();
    hid_t space = H5Screate_simple(1, &components, nullptr);
    writeAttribute(dataset, "Shift", H5T_NATIVE_DOUBLE, space, shift.data());
    H5Sclose(space);
    const char memoryType[] = "float64";
    hid_t text = H5Tcopy(H5T_C_S1);
    H5Tset_size(text, sizeof memoryType - 1);
    H5Tset_strpad(text, H5T_STR_NULLPAD);
    H5Tset_cset(text, H5T_CSET_UTF8);
    space = H5Screate(H5S_SCALAR);
    writeAttribute(dataset, "MemoryType", text, space, memoryType);
    H5Sclose(space);
    H5Tclose(text);
}

// The dimension names netCDF readers need, as plain HDF5 gives them: a dimension scale per
// extent, each dataset's DIMENSION_LIST as H5DSattach_scale writes it, and each scale's
// REFERENCE_LIST written once at the end (attaching one at a time rewrites it per dataset).
class PlainDimensions {
public:
    explicit PlainDimensions(hid_t group) : Group(group) {}
    ~PlainDimensions() {
        hid_t type = H5Tcreate(H5T_COMPOUND, sizeof(User));
        H5Tinsert(type, "dataset", HOFFSET(User, Dataset), H5T_STD_REF_OBJ);
        H5Tinsert(type, "dimension", HOFFSET(User, Dimension), H5T_NATIVE_INT);
        for (auto& [extent, scale] : Scales) {
            const hsize_t count = scale.Users.size();
            hid_t space = H5Screate_simple(1, &count, nullptr);
            hid_t attribute =
                H5Acreate2(scale.Id, "REFERENCE_LIST", type, space, H5P_DEFAULT, H5P_DEFAULT);
            H5Awrite(attribute, type, scale.Users.data());
            H5Aclose(attribute);
            H5Sclose(space);
            H5Dclose(scale.Id);
        }
        H5Tclose(type);
    }

    void attach(hid_t dataset, const std::vector<hsize_t>& shape) {
        std::vector<hobj_ref_t> references(shape.size());
        std::vector<hvl_t> lists(shape.size());
        hobj_ref_t self;
        H5Rcreate(&self, dataset, ".", H5R_OBJECT, -1);
        for (std::size_t d = 0; d < shape.size(); ++d) {
            Scale& scale = scaleOf(shape[d]);
            H5Rcreate(&references[d], scale.Id, ".", H5R_OBJECT, -1);
            lists[d] = hvl_t{1, &references[d]};
            scale.Users.push_back({self, static_cast<int>(d)});
        }
        const hsize_t rank = shape.size();
        hid_t type = H5Tvlen_create(H5T_STD_REF_OBJ);
        hid_t space = H5Screate_simple(1, &rank, nullptr);
        hid_t attribute =
            H5Acreate2(dataset, "DIMENSION_LIST", type, space, H5P_DEFAULT, H5P_DEFAULT);
        H5Awrite(attribute, type, lists.data());
        H5Aclose(attribute);
        H5Sclose(space);
        H5Tclose(type);
    }

private:
    struct User {
        hobj_ref_t Dataset;
        int Dimension;
    };
    struct Scale {
        hid_t Id;
        std::vector<User> Users;
    };

    Scale& scaleOf(hsize_t extent) {
        auto found = Scales.find(extent);
        if (found != Scales.end()) return found->second;
        const std::string name = "dimension" + std::to_string(extent);
        hid_t space = H5Screate_simple(1, &extent, nullptr);
        hid_t id = H5Dcreate2(Group, name.c_str(), H5T_NATIVE_INT32, space, H5P_DEFAULT,
                              H5P_DEFAULT, H5P_DEFAULT);
        H5Sclose(space);
        H5DSset_scale(id, name.c_str());
        return Scales.emplace(extent, Scale{id, {}}).first->second;
    }

    hid_t Group;
    std::map<hsize_t, Scale> Scales;
};

void plainWriteField(hid_t group, const std::string& name, const Plexa::MemBase& data, bool pack,
                     PlainDimensions& dimensions) {
    const std::vector<hsize_t> shape = shapeOf(data);
    hid_t space = H5Screate_simple(static_cast<int>(shape.size()), shape.data(), nullptr);
    hid_t properties = pack ? packedProperties(shape) : H5P_DEFAULT;
    hid_t dataset = H5Dcreate2(group, name.c_str(), pack ? H5T_NATIVE_FLOAT : H5T_NATIVE_DOUBLE,
                               space, H5P_DEFAULT, properties, H5P_DEFAULT);
    if (pack) {
        const std::vector<double> shift = plainShift(data);
        const std::vector<float> stored = plainConvert(data, shift);
        H5Dwrite(dataset, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, stored.data());
        writePackedAttributes(dataset, shift);
    } else {
        H5Dwrite(dataset, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, data.rawData());
    }
    dimensions.attach(dataset, shape);
    H5Dclose(dataset);
    if (pack) H5Pclose(properties);
    H5Sclose(space);
}

// The int32 components of the field, each a dataset of its own as a packed save stores them.
void plainWriteIntegers(hid_t group, const std::string& name, const Plexa::MemBase& data) {
    const auto& integers = dynamic_cast<const Plexa::MemArray<std::int32_t>&>(data);
    const std::vector<hsize_t> shape{data.size()};
    std::vector<std::int32_t> component(data.size());
    for (int c = 0; c < data.components(); ++c) {
        for (std::size_t i = 0; i < data.size(); ++i)
            component[i] = integers(i, c);
        hid_t space = H5Screate_simple(1, shape.data(), nullptr);
        hid_t properties = packedProperties(shape);
        hid_t dataset = H5Dcreate2(group, (name + std::to_string(c)).c_str(), H5T_NATIVE_INT32,
                                   space, H5P_DEFAULT, properties, H5P_DEFAULT);
        H5Dwrite(dataset, H5T_NATIVE_INT32, H5S_ALL, H5S_ALL, H5P_DEFAULT, component.data());
        H5Dclose(dataset);
        H5Pclose(properties);
        H5Sclose(space);
    }
}

} // namespace

void plainWriteIntegers(const Plexa::Grid& grid, const std::string& name) {
    hid_t access = H5Pcreate(H5P_FILE_ACCESS);
    H5Pset_libver_bounds(access, H5F_LIBVER_LATEST, H5F_LIBVER_LATEST);
    hid_t file = H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, access);
    hid_t group = H5Gcreate2(file, "Grid", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    for (const auto& [fieldName, field] : grid.fields())
        plainWriteIntegers(group, fieldName, *field.Data);
    H5Gclose(group);
    H5Fclose(file);
    H5Pclose(access);
}

// The newest file format, as a bundle save writes it.
void plainWrite(const Plexa::Grid& grid, const std::string& name, bool pack) {
    hid_t access = H5Pcreate(H5P_FILE_ACCESS);
    H5Pset_libver_bounds(access, H5F_LIBVER_LATEST, H5F_LIBVER_LATEST);
    hid_t file = H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, access);
    hid_t group = H5Gcreate2(file, "Grid", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    {
        PlainDimensions dimensions(group);
        for (const auto& [fieldName, field] : grid.fields())
            plainWriteField(group, fieldName, *field.Data, pack, dimensions);
    }
    H5Gclose(group);
    H5Fclose(file);
    H5Pclose(access);
}

void saveThroughBinding(benchmark::State& state, Plexa::Bundle& bundle, const std::string& file,
                        const Plexa::StoragePtr& policy) {
    bundle.bindToNew(file, policy);
    if (!bundle.save()) state.SkipWithError(bundle.lastError().c_str());
    bundle.unbind();
}

} // namespace Bench
