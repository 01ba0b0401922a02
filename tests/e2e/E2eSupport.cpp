#include "tests/e2e/E2eSupport.hpp"

#include <png.h>

#include <cstdlib>
#include <filesystem>

namespace ConvLibTest::E2e {

namespace {

// A few points around a far-away origin, so that the stored shift needs all its digits.
std::string farCloud(int index) {
    std::string text;
    for (int i = 0; i < 5; ++i)
        text += std::to_string(512345.678901 + index * 0.37 + i * 1.1) + " " +
                std::to_string(5398765.432109 + i * 0.7) + " " +
                std::to_string(301.234567 + index + (i % 3) * 0.61) + "\n";
    return text;
}

} // namespace

bool found(const std::string& tool) {
    return !tool.empty() && tool.find("NOTFOUND") == std::string::npos;
}

void writeInputTree(const TempDir& dir) {
    for (const char* sample : {"hill.csv", "plane.xyz", "ridge.csv"})
        dir.write(std::string("in/") + sample,
                  readFile(std::string(CONVLIB_SOURCE_DIR) + "/samples/" + sample));
    for (int index = 1; index <= 3; ++index)
        dir.write("in/far" + std::to_string(index) + ".xyz", farCloud(index));
    writeBundleFromText(dir, "in/survey", "x,y,z\n0,0,1\n1,0,2\n0,1,3\n");
}

void writeBundleFromText(const TempDir& dir, const std::string& name, const std::string& text) {
    const std::string cloud = dir.write(name + ".csv", text);
    Plexa::writeBundleFile(*loadBundle(cloud), dir / (name + ".qz"), Plexa::StoragePtr());
    std::filesystem::remove(cloud);
}

void copyTree(const std::string& from, const std::string& to) {
    namespace fs = std::filesystem;
    fs::copy(from, to, fs::copy_options::recursive);
    for (const auto& entry : fs::recursive_directory_iterator(from))
        fs::last_write_time(fs::path(to) / entry.path().lexically_relative(from),
                            entry.last_write_time());
}

ConvertedTree::ConvertedTree() {
    writeInputTree(Dir);
    Conversion = run(QZ_POINTCLOUD, {"in/"}, Dir.path());
}

const ConvertedTree& convertedTree() {
    static const ConvertedTree tree;
    return tree;
}

std::map<std::string, std::string> snapshot(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        files[entry.path().string()] = entry.is_regular_file() ? readFile(entry.path()) : "/";
    return files;
}

bool isValidJson(const std::string& text) {
    TempDir dir;
    const std::string file = dir.write("check.json", text);
    return !found(CONVLIB_PYTHON) ||
           run(CONVLIB_PYTHON, {"-c", "import json,sys; json.load(open(sys.argv[1]))", file})
                   .Status == 0;
}

bool isValidXml(const std::string& file) {
    return !found(CONVLIB_XMLLINT) || run(CONVLIB_XMLLINT, {"--noout", file}).Status == 0;
}

bool readPng(const std::string& file, Image& image) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, file.c_str())) return false;
    png.format = PNG_FORMAT_RGB;
    image.Width = png.width;
    image.Height = png.height;
    image.Rgb.resize(PNG_IMAGE_SIZE(png));
    return png_image_finish_read(&png, nullptr, image.Rgb.data(), 0, nullptr) != 0;
}

} // namespace ConvLibTest::E2e
