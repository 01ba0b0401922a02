// An outside converter built against the installed package: main() plus its convert(). It marks
// every point cloud it is given with a field "Seen" and writes it as a bundle beside its input.
#include "convlib/Program.hpp"

#include <filesystem>

namespace {

namespace Tools = ConvLib::Tools;

class Consumer : public ConvLib::BasicConverterDefs {
public:
    explicit Consumer(const Tools::BatchSettings& settings) : Options(settings) {
        ConverterName = "consumer";
        InFiles = Tools::inputList(settings.Inputs);
        Tools::installStorage(*this, settings.Compression, {});
    }

    bool convert() override {
        std::list<std::string> everyInput;
        if (!Tools::gatherInputs(*this, Options.InputShard, everyInput)) return false;
        Tools::forEachInput(*this, [this](const std::string& file) { convertOne(file); });
        return ErrorMessages.empty();
    }

private:
    void convertOne(const std::string& file) {
        OutFile = std::filesystem::path(file).replace_extension(".qz").string();
        Tools::Outcomes done;
        if (Tools::loadSingleInput(*this, file, ReadPointCloud, Options.Read)) {
            for (const auto& [time, slice] : myBundle->slices())
                for (const auto& [name, grid] : slice->grids())
                    grid->addField("Seen", Plexa::makeArray<std::uint8_t>(1));
            if (Tools::saveAndRelease(*this)) done.push_back("marked");
        }
        Tools::discardBundle(*this);
        Tools::reportInput(file + " -> " + OutFile, done, "not converted");
    }

    Tools::BatchSettings Options;
};

void defineOptions(CLI::App& app, Tools::BatchSettings& settings) {
    app.add_option("inputs", settings.Inputs, "Point clouds")->required();
    Tools::addBatchOptions(app, settings);
}

} // namespace

int main(int argc, char** argv) {
    return Tools::runProgram<Consumer, Tools::BatchSettings>(argc, argv, "Marks point clouds.",
                                                             defineOptions);
}
