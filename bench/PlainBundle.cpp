#include "bench/PlainBundle.hpp"

#include <hdf5.h>

#include <algorithm>
#include <limits>
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

void plainWriteField(hid_t group, const std::string& name, const Plexa::MemBase& data, bool pack) {
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
    for (const auto& [fieldName, field] : grid.fields())
        plainWriteField(group, fieldName, *field.Data, pack);
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
