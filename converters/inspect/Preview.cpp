#include "converters/inspect/Preview.hpp"

#include "convlib/Numbers.hpp"

#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

namespace ConvLib::Inspect {

namespace {

using Rgb = std::array<std::uint8_t, 3>;

// The viridis colour map at nine even steps, blended linearly in between.
constexpr std::array<Rgb, 9> viridis{{{68, 1, 84},
                                      {71, 44, 122},
                                      {59, 81, 139},
                                      {44, 113, 142},
                                      {33, 144, 141},
                                      {39, 173, 129},
                                      {92, 200, 99},
                                      {170, 220, 50},
                                      {253, 231, 37}}};

Rgb colourAt(double fraction) {
    const double position = std::clamp(fraction, 0.0, 1.0) * (viridis.size() - 1);
    const auto lower = static_cast<std::size_t>(position);
    const std::size_t upper = std::min(lower + 1, viridis.size() - 1);
    const double weight = position - static_cast<double>(lower);
    Rgb colour{};
    for (std::size_t i = 0; i < colour.size(); ++i)
        colour[i] = static_cast<std::uint8_t>(
            std::lround(viridis[lower][i] * (1 - weight) + viridis[upper][i] * weight));
    return colour;
}

struct Point {
    double X, Y, Value;
};

template <class T> bool appendValues(const Plexa::MemBase& data, std::vector<double>& values) {
    const auto* array = dynamic_cast<const Plexa::MemArray<T>*>(&data);
    if (!array) return false;
    for (std::size_t tuple = 0; tuple < array->size(); ++tuple) {
        double squares = 0;
        for (int component = 0; component < array->components(); ++component)
            squares += std::pow(static_cast<double>((*array)(tuple, component)), 2);
        values.push_back(array->components() == 1 ? static_cast<double>((*array)(tuple))
                                                  : std::sqrt(squares));
    }
    return true;
}

// One value per tuple: the value itself, or the length of a vector.
std::vector<double> valuesOf(const Plexa::MemBase& data) {
    std::vector<double> values;
    appendValues<double>(data, values) || appendValues<float>(data, values) ||
        appendValues<std::int8_t>(data, values) || appendValues<std::uint8_t>(data, values) ||
        appendValues<std::int16_t>(data, values) || appendValues<std::uint16_t>(data, values) ||
        appendValues<std::int32_t>(data, values) || appendValues<std::uint32_t>(data, values) ||
        appendValues<std::int64_t>(data, values) || appendValues<std::uint64_t>(data, values);
    return values;
}

void collectPoints(const Plexa::Grid& grid, const std::string& fieldName,
                   std::vector<Point>& points) {
    const Plexa::Field* positions = grid.findField("Positions");
    const Plexa::Field* field = grid.findField(fieldName);
    if (!positions || !field || !positions->Data || !field->Data) return;
    const auto* xyz = dynamic_cast<const Plexa::MemArray<double>*>(positions->Data.rawptr());
    const std::vector<double> values = valuesOf(*field->Data);
    if (!xyz || xyz->components() != 3 || values.size() != xyz->size()) return;
    for (std::size_t i = 0; i < values.size(); ++i)
        points.push_back({(*xyz)(i, 0), (*xyz)(i, 1), values[i]});
}

struct Range {
    double Low = std::numeric_limits<double>::infinity();
    double High = -std::numeric_limits<double>::infinity();
    void include(double value) {
        Low = std::min(Low, value);
        High = std::max(High, value);
    }
    double fraction(double value) const { return High > Low ? (value - Low) / (High - Low) : 0.5; }
};

class Canvas {
public:
    Canvas(int width, int height)
        : Width(width), Height(height), Pixels(std::size_t(width) * height * 3, 255) {}

    void square(int centreX, int centreY, int radius, const Rgb& colour) {
        for (int y = std::max(centreY - radius, 0); y <= std::min(centreY + radius, Height - 1);
             ++y)
            for (int x = std::max(centreX - radius, 0); x <= std::min(centreX + radius, Width - 1);
                 ++x)
                std::copy(colour.begin(), colour.end(),
                          Pixels.begin() + (std::size_t(y) * Width + x) * 3);
    }

    bool save(const std::string& file, std::string& error) const {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        image.width = static_cast<png_uint_32>(Width);
        image.height = static_cast<png_uint_32>(Height);
        image.format = PNG_FORMAT_RGB;
        if (png_image_write_to_file(&image, file.c_str(), 0, Pixels.data(), 0, nullptr))
            return true;
        error = "cannot write " + file + ": " + image.message;
        return false;
    }

private:
    int Width;
    int Height;
    std::vector<std::uint8_t> Pixels;
};

// Scales x and y alike into the image, centred with a margin, north up.
void draw(const std::vector<Point>& points, Canvas& canvas, const PreviewRequest& request) {
    Range x, y, value;
    for (const Point& point : points) {
        x.include(point.X);
        y.include(point.Y);
        value.include(point.Value);
    }
    const int shorterSide = std::min(request.Width, request.Height);
    const int radius = std::max(1, shorterSide / 200);
    const double margin = std::max(radius + 2, shorterSide / 20);
    const double scale = std::min((request.Width - 2 * margin) / std::max(x.High - x.Low, 1e-300),
                                  (request.Height - 2 * margin) / std::max(y.High - y.Low, 1e-300));
    const double left = (request.Width - (x.High - x.Low) * scale) / 2;
    const double bottom = (request.Height + (y.High - y.Low) * scale) / 2;
    for (const Point& point : points) {
        const auto column = static_cast<int>(std::lround(left + (point.X - x.Low) * scale));
        const auto row = static_cast<int>(std::lround(bottom - (point.Y - y.Low) * scale));
        canvas.square(column, row, radius, colourAt(value.fraction(point.Value)));
    }
}

bool isSide(int side) {
    return side > 0 && side <= 16384;
}

} // namespace

bool parseImageSize(const std::string& text, PreviewRequest& request, std::string& error) {
    int width = 0;
    int height = 0;
    if (!Tools::parseNumberPair(text, 'x', width, height) || !isSide(width) || !isSide(height)) {
        error = "size '" + text + "' is not of the form WxH with sides 1..16384, e.g. 800x600";
        return false;
    }
    request.Width = width;
    request.Height = height;
    return true;
}

bool writePreview(const Plexa::Bundle& bundle, const PreviewRequest& request, std::string& error) {
    std::vector<Point> points;
    if (!bundle.slices().empty())
        for (const auto& [name, grid] : bundle.slices().begin()->second->grids())
            collectPoints(*grid, request.Field, points);
    if (points.empty()) {
        error = "no grid of the first time step has both Positions and the field " + request.Field;
        return false;
    }
    Canvas canvas(request.Width, request.Height);
    draw(points, canvas, request);
    return canvas.save(request.File, error);
}

} // namespace ConvLib::Inspect
