#include "tests/e2e/E2eSupport.hpp"

#include <png.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>

namespace ConvLibTest::E2e {

namespace {

std::string quoted(const std::string& text) {
    std::string result = "'";
    for (char c : text)
        result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return result + "'";
}

int exitStatus(int systemResult) {
    return WIFEXITED(systemResult) ? WEXITSTATUS(systemResult) : -1;
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
    RunResult result;
    result.Status = exitStatus(std::system(command.c_str()));
    result.Out = readFile(streams / "out");
    result.Err = readFile(streams / "err");
    return result;
}

std::vector<std::string> copySamples(const TempDir& dir, const std::vector<std::string>& names,
                                     const std::string& subfolder) {
    std::vector<std::string> copies;
    for (const std::string& name : names)
        copies.push_back(dir.write(subfolder + name,
                                   readFile(std::string(CONVLIB_SOURCE_DIR) + "/samples/" + name)));
    return copies;
}

Plexa::BundlePtr loadBundle(const std::string& file) {
    bool success = false;
    Plexa::BundlePtr bundle = Plexa::Bundle::load(
        success, Quorix::StrongPtr<Quorix::LoaderParameters>(new Quorix::LoaderParameters(file)),
        Plexa::BundlePtr());
    return success ? bundle : Plexa::BundlePtr();
}

Plexa::GridPtr firstGrid(const Plexa::BundlePtr& bundle, const std::string& name) {
    if (!bundle || bundle->slices().empty()) return Plexa::GridPtr();
    return bundle->slices().begin()->second->findGrid(name);
}

std::string textAttribute(const Plexa::Grid& grid, const std::string& key) {
    Quorix::DynPtr<Quorix::Chunk<std::string>, Quorix::ChunkBase> text(grid.getAttribute(key));
    return text && !text->empty() ? text->front() : std::string();
}

const Plexa::StoredField* findStored(const std::vector<Plexa::StoredField>& fields,
                                     const std::string& grid, const std::string& field) {
    for (const Plexa::StoredField& stored : fields)
        if (stored.Grid == grid && stored.Field == field) return &stored;
    return nullptr;
}

bool pythonAvailable() {
    return std::string(CONVLIB_PYTHON).find("NOTFOUND") == std::string::npos;
}

bool isValidJson(const std::string& text) {
    TempDir dir;
    const std::string file = dir.write("check.json", text);
    return run(CONVLIB_PYTHON, {"-c", "import json,sys; json.load(open(sys.argv[1]))", file})
               .Status == 0;
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
