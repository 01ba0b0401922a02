// qz-inspect: shows what a bundle file holds (time steps, grids, fields and how they are stored,
// grid attributes), for a person or as JSON, and writes an XDMF description and a preview image.
#include "convlib/Program.hpp"
#include "converters/inspect/Preview.hpp"
#include "converters/inspect/Report.hpp"
#include "converters/inspect/Xdmf.hpp"

#include <cstdio>

namespace {

using ConvLib::BasicConverterDefs;
namespace Inspect = ConvLib::Inspect;
namespace Tools = ConvLib::Tools;

struct Settings {
    std::string Input;
    bool Json = false;
    std::string Xdmf;
    Inspect::PreviewRequest Preview;
};

class InspectConverter : public BasicConverterDefs {
public:
    explicit InspectConverter(const Settings& settings) : Options(settings) {
        ConverterName = "qz-inspect";
        InFiles = Quorix::StrongPtr<Quorix::StringList>(new Quorix::StringList{settings.Input});
        OutFile = settings.Xdmf;
    }

    bool convert() override {
        Inspect::Inspection inspection;
        if (!inspect(inspection)) return false;
        const std::string text = Options.Json ? Inspect::describeAsJson(inspection)
                                              : Inspect::describeAsText(inspection);
        // the description is what was asked for, so --quiet keeps it; the program layer sends
        // everything else to standard error, so the output stays clean JSON
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
        bool written = Options.Xdmf.empty() || writeXdmf(inspection);
        written = (Options.Preview.File.empty() || writePreview(inspection)) && written;
        Tools::discardBundle(*this);
        return written;
    }

    std::string printSecondary() override {
        return std::string("\nWrites: the description (") + (Options.Json ? "JSON" : "text") +
               ") to standard output" + (Options.Xdmf.empty() ? "" : ", XDMF to " + Options.Xdmf) +
               (Options.Preview.File.empty() ? "" : ", a preview to " + Options.Preview.File) +
               "\nHave JSON output: " + (Options.Json ? "yes" : "no") +
               "\nHave preview: " + Options.Preview.File + " " + Options.Preview.Field;
    }

private:
    bool inspect(Inspect::Inspection& inspection) {
        if (!Tools::takesInput(*this, Options.Input, {Plexa::InputKind::Bundle}) ||
            !Tools::loadSingleInput(*this, Options.Input, ReadBundles))
            return false;
        std::string error;
        if (!Plexa::describeFile(Options.Input, inspection.Stored, error)) {
            ErrorMessages.push_back("Cannot describe " + error);
            return false;
        }
        inspection.File = Options.Input;
        inspection.Bundle = myBundle;
        return true;
    }

    bool writeXdmf(const Inspect::Inspection& inspection) {
        std::string error;
        if (Inspect::writeXdmf(inspection, Options.Xdmf, error)) return true;
        ErrorMessages.push_back("Cannot write the XDMF file " + Options.Xdmf + ": " +
                                Plexa::printable(error));
        return false;
    }

    bool writePreview(const Inspect::Inspection& inspection) {
        std::string error;
        Inspect::PreviewRequest request = Options.Preview;
        request.Title = inspection.File;
        if (Inspect::writePreview(*inspection.Bundle, request, error)) return true;
        ErrorMessages.push_back("Cannot write the preview " + Options.Preview.File + ": " +
                                Plexa::printable(error));
        return false;
    }

    Settings Options;
};

void defineOptions(CLI::App& app, Settings& settings) {
    app.add_option("input", settings.Input, "The bundle file (.qz) to inspect")->required();
    app.add_flag("--json", settings.Json, "Print the description as JSON");
    app.add_option("--xdmf", settings.Xdmf,
                   "Also write an XDMF description (for ParaView, VisIt) to this file");
    auto* preview =
        app.add_option("--preview", settings.Preview.File,
                       "Also write a picture of the point clouds (or of a 2-D slice of a "
                       "structured grid) as PNG");
    app.add_option("--field", settings.Preview.Field,
                   "The field that colours the preview, vectors by their length (default: Height "
                   "when there is one, else the first field of one value per point)")
        ->needs(preview);
    app.add_option("--view", settings.Preview.View,
                   "The preview's view: top (x, y; default) or side (x, z, looking along +y)")
        ->check(CLI::IsMember({"top", "side"}))
        ->needs(preview);
    app.add_option_function<std::string>(
           "--size",
           [&settings](const std::string& text) {
               std::string error;
               if (!Inspect::parseImageSize(text, settings.Preview, error))
                   throw CLI::ValidationError("--size", error);
           },
           "Preview size in pixels (default 800x600)")
        ->type_name("WxH");
}

} // namespace

int main(int argc, char** argv) {
    return Tools::runProgram<InspectConverter, Settings>(
        argc, argv, "Shows what a bundle file holds; writes XDMF and a PNG preview on request.",
        defineOptions);
}
