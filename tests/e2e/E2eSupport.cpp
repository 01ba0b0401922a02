#include "tests/e2e/E2eSupport.hpp"

#include <png.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <sys/wait.h>

namespace ConvLibTest::E2e {

namespace {

std::string quoted(const std::string& text) {
    std::string result = "'";
    for (char c : text)
        result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return result + "'";
}

// A few points around a far-away origin, so that the stored shift needs all its digits.
std::string farCloud(int index) {
    std::string text;
    for (int i = 0; i < 5; ++i)
        text += std::to_string(512345.678901 + index * 0.37 + i * 1.1) + " " +
                std::to_string(5398765.432109 + i * 0.7) + " " +
                std::to_string(301.234567 + index + (i % 3) * 0.61) + "\n";
    return text;
}

bool found(const std::string& tool) {
    return !tool.empty() && tool.find("NOTFOUND") == std::string::npos;
}

} // namespace

RunResult run(const std::string& program, const std::vector<std::string>& arguments,
              const std::string& folder) {
    TempDir streams;
    std::string command = folder.empty() ? "" : "cd " + quoted(folder) + " && ";
    command += quoted(program);
    for (const std::string& argument : arguments)
        command += " " + quoted(argument);
    command += " >" + quoted(streams / "out") + " 2>" + quoted(streams / "err") + " </dev/null";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(streams / "out"),
            readFile(streams / "err")};
}

void writeInputTree(const TempDir& dir) {
    for (const char* sample : {"hill.csv", "plane.xyz", "ridge.csv"})
        dir.write(std::string("in/") + sample,
                  readFile(std::string(CONVLIB_SOURCE_DIR) + "/samples/" + sample));
    for (int index = 1; index <= 3; ++index)
        dir.write("in/far" + std::to_string(index) + ".xyz", farCloud(index));
    const std::string survey = dir.write("in/survey.xyz", "0 0 1\n1 0 2\n0 1 3\n");
    Plexa::writeBundleFile(*loadBundle(survey), dir / "in/survey.qz", Plexa::StoragePtr());
    std::filesystem::remove(survey);
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

Plexa::BundlePtr loadBundle(const std::string& file) {
    bool success = false;
    Plexa::BundlePtr bundle = Plexa::Bundle::load(
        success, Quorix::StrongPtr<Quorix::LoaderParameters>(new Quorix::LoaderParameters(file)),
        Plexa::BundlePtr());
    return success ? bundle : Plexa::BundlePtr();
}

Plexa::GridPtr firstGrid(const std::string& file, const std::string& name) {
    Plexa::BundlePtr bundle = loadBundle(file);
    if (!bundle || bundle->slices().empty()) return Plexa::GridPtr();
    return bundle->slices().begin()->second->findGrid(name);
}

std::string textAttribute(const Plexa::Grid& grid, const std::string& key) {
    Quorix::DynPtr<Quorix::Chunk<std::string>, Quorix::ChunkBase> text(grid.getAttribute(key));
    return text && !text->empty() ? text->front() : std::string();
}

std::vector<Plexa::StoredField> describe(const std::string& file) {
    std::vector<Plexa::StoredField> fields;
    std::string error;
    return Plexa::describeFile(file, fields, error) ? fields : std::vector<Plexa::StoredField>();
}

const Plexa::StoredField& findStored(const std::vector<Plexa::StoredField>& fields,
                                     const std::string& grid, const std::string& field) {
    for (const Plexa::StoredField& stored : fields)
        if (stored.Grid == grid && stored.Field == field) return stored;
    throw std::runtime_error("no stored field " + grid + "/" + field);
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
