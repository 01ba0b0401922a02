#include "converters/inspect/Preview.hpp"

#include "converters/inspect/Font.hpp"
#include "converters/inspect/Values.hpp"
#include "convlib/Numbers.hpp"

#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <numeric>

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

constexpr Rgb Ink{40, 40, 40};
constexpr Rgb NoValue{160, 160, 160};

// Where a point lands and in which order it is drawn: later points cover earlier ones.
struct Point {
    double Across, Up, Order, Value;
};

bool isSideView(const PreviewRequest& request) {
    return request.View == "side";
}

// One value per tuple: the value itself, or the length of a vector.
std::vector<double> valuesOf(const Plexa::MemBase& data) {
    const std::vector<double> all = asDoubles(data);
    const auto components = static_cast<std::size_t>(std::max(data.components(), 1));
    std::vector<double> values(all.size() / components);
    for (std::size_t tuple = 0; tuple < values.size(); ++tuple)
        values[tuple] = components == 1
                            ? all[tuple]
                            : std::sqrt(std::inner_product(all.begin() + tuple * components,
                                                           all.begin() + (tuple + 1) * components,
                                                           all.begin() + tuple * components, 0.0));
    return values;
}

// Top view: x across, y up, the highest points drawn last. Side view, looking north (along +y):
// x across, z up, the nearest points (least y) drawn last.
void collectPoints(const Plexa::Grid& grid, const std::string& fieldName, bool side,
                   std::vector<Point>& points) {
    const Plexa::Field* positions = grid.findField(Plexa::PositionsField);
    const Plexa::Field* field = grid.findField(fieldName);
    if (!positions || !field || !positions->Data || !field->Data) return;
    if (positions->Data->components() != 3) return;
    const std::vector<double> xyz = asDoubles(*positions->Data);
    const std::vector<double> values = valuesOf(*field->Data);
    if (values.size() * 3 != xyz.size()) return;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double x = xyz[3 * i], y = xyz[3 * i + 1], z = xyz[3 * i + 2];
        if (std::isfinite(x) && std::isfinite(y) && std::isfinite(z))
            points.push_back(side ? Point{x, z, -y, values[i]} : Point{x, y, z, values[i]});
    }
}

std::string firstScalarField(const Plexa::Grid& grid) {
    for (const auto& [name, field] : grid.fields())
        if (name != Plexa::PositionsField && field.Data && field.Data->components() == 1)
            return name;
    return "";
}

// The field asked for; else Height when a cloud has it; else the first field of one value per
// point of the first cloud that has one; else that of the first structured grid; empty when there
// is none.
std::string fieldToShow(const Plexa::Slice& slice, const std::string& asked) {
    if (!asked.empty()) return asked;
    std::string first;
    std::string structured;
    for (const auto& [name, grid] : slice.grids()) {
        if (grid->topology().isStructured()) {
            if (structured.empty()) structured = firstScalarField(*grid);
            continue;
        }
        if (!grid->findField(Plexa::PositionsField)) continue;
        if (grid->findField(Plexa::HeightField)) return Plexa::HeightField;
        if (first.empty()) first = firstScalarField(*grid);
    }
    return first.empty() ? structured : first;
}

// The field as the first point cloud of the slice that holds it has it.
const Plexa::Field* firstFieldNamed(const Plexa::Slice& slice, const std::string& name) {
    for (const auto& [gridName, grid] : slice.grids())
        if (!grid->topology().isStructured() && grid->findField(Plexa::PositionsField))
            if (const Plexa::Field* field = grid->findField(name)) return field;
    return nullptr;
}

// The first structured grid of the slice that holds the field, or null.
const Plexa::Grid* structuredGridWith(const Plexa::Slice& slice, const std::string& field) {
    for (const auto& [name, grid] : slice.grids())
        if (grid->topology().isStructured() && grid->findField(field) &&
            grid->findField(field)->Data)
            return grid.rawptr();
    return nullptr;
}

struct Range {
    double Low = std::numeric_limits<double>::infinity();
    double High = -std::numeric_limits<double>::infinity();
    void include(double value) {
        if (!std::isfinite(value)) return;
        Low = std::min(Low, value);
        High = std::max(High, value);
    }
    double span() const { return High - Low; }
    double fraction(double value) const { return High > Low ? (value - Low) / span() : 0.5; }
};

struct Box {
    int Left, Top, Right, Bottom; // inclusive
    int width() const { return Right - Left + 1; }
    int height() const { return Bottom - Top + 1; }
};

class Canvas {
public:
    Canvas(int width, int height)
        : Width(width), Height(height), Pixels(std::size_t(width) * height * 3, 255) {}

    void fill(const Box& box, const Rgb& colour) {
        for (int y = std::max(box.Top, 0); y <= std::min(box.Bottom, Height - 1); ++y)
            for (int x = std::max(box.Left, 0); x <= std::min(box.Right, Width - 1); ++x)
                std::copy(colour.begin(), colour.end(),
                          Pixels.begin() + (std::size_t(y) * Width + x) * 3);
    }

    // Text with its top left corner at (x, y), each font pixel `scale` pixels wide.
    void text(int x, int y, const std::string& line, int scale) {
        for (char character : line) {
            const auto& columns = glyph(character);
            for (int column = 0; column < GlyphWidth; ++column)
                for (int row = 0; row < GlyphHeight; ++row)
                    if (columns[column] >> row & 1)
                        fill({x + column * scale, y + row * scale, x + (column + 1) * scale - 1,
                              y + (row + 1) * scale - 1},
                             Ink);
            x += (GlyphWidth + 1) * scale;
        }
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

int textWidth(const std::string& line, int scale) {
    return static_cast<int>(line.size()) * (GlyphWidth + 1) * scale;
}

// The line cut to at most `width` pixels, its end replaced by ".." when cut.
std::string fitted(const std::string& line, int width, int scale) {
    const auto fits = static_cast<std::size_t>(std::max(width / ((GlyphWidth + 1) * scale), 0));
    if (line.size() <= fits) return line;
    return fits < 2 ? "" : line.substr(0, fits - 2) + "..";
}

std::string label(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

// Where the parts of the picture go: the title and the field's caption on top, the points with
// their axes' ticks below and left of them, the colour bar with its labels on the right. Images too
// small for that show the points only.
struct Layout {
    int Scale; // font pixel size
    int Line;  // height of a text line with its spacing
    int Margin;
    int Tick; // length of a tick mark
    Box Plot;
    Box Bar;
    bool Decorated;
};

Layout layoutFor(const PreviewRequest& request, const Range& values, const Range& up) {
    Layout layout{};
    const int shorter = std::min(request.Width, request.Height);
    layout.Scale = std::max(1, shorter / 300);
    layout.Line = (GlyphHeight + 2) * layout.Scale;
    layout.Margin = std::max(3, shorter / 40);
    layout.Tick = 2 * layout.Scale + 1;
    const auto widest = [&](const Range& range) {
        return std::max(textWidth(label(range.High), layout.Scale),
                        textWidth(label(range.Low), layout.Scale));
    };
    const int barWidth = std::max(6, request.Width / 50);
    const int barLeft =
        request.Width - layout.Margin - widest(values) - layout.Margin / 2 - barWidth;
    const int plotTop = layout.Margin + 2 * layout.Line + layout.Margin;
    const int plotLeft = layout.Margin + widest(up) + layout.Tick + layout.Margin;
    const int plotBottom = request.Height - 1 - 2 * layout.Margin - layout.Line - layout.Tick;
    layout.Plot = {plotLeft, plotTop, barLeft - 2 * layout.Margin, plotBottom};
    layout.Bar = {barLeft, plotTop, barLeft + barWidth - 1, plotBottom};
    layout.Decorated = layout.Plot.width() >= 40 && layout.Bar.height() >= 40;
    if (!layout.Decorated)
        layout.Plot = {layout.Margin, layout.Margin, request.Width - 1 - layout.Margin,
                       request.Height - 1 - layout.Margin};
    return layout;
}

// The extent of what is drawn, across and up.
struct Extent {
    Range Across, Up;
};

Extent extentOf(const std::vector<Point>& points) {
    Extent extent;
    for (const Point& point : points) {
        extent.Across.include(point.Across);
        extent.Up.include(point.Up);
    }
    return extent;
}

// Pixels per data unit, the same across and up, and the place of the lowest corner.
struct Projection {
    double Scale, Left, Bottom;
    Extent Drawn;
    int column(double across) const {
        return static_cast<int>(std::lround(Left + (across - Drawn.Across.Low) * Scale));
    }
    int row(double up) const {
        return static_cast<int>(std::lround(Bottom - (up - Drawn.Up.Low) * Scale));
    }
};

Projection projectionFor(const Extent& extent, const Box& plot) {
    Projection projection{};
    projection.Drawn = extent;
    const double across = extent.Across.span(), up = extent.Up.span();
    projection.Scale =
        std::min(plot.width() / std::max(across, 1e-300), plot.height() / std::max(up, 1e-300));
    projection.Left = plot.Left + (plot.width() - across * projection.Scale) / 2;
    projection.Bottom = plot.Bottom - (plot.height() - up * projection.Scale) / 2;
    return projection;
}

// Squares big enough to close the gaps of an even spread, small enough to keep detail.
int pointRadius(std::size_t points, const Box& plot) {
    const double spacing = std::sqrt(double(plot.width()) * plot.height() / double(points));
    const int largest = std::max(1, std::min(plot.width(), plot.height()) / 100);
    return std::clamp(static_cast<int>(spacing * 0.3), 1, largest);
}

void drawPoints(std::vector<Point>& points, const Range& values, int radius,
                const Projection& projection, Canvas& canvas) {
    std::stable_sort(points.begin(), points.end(),
                     [](const Point& a, const Point& b) { return a.Order < b.Order; });
    for (const Point& point : points) {
        const int x = projection.column(point.Across);
        const int y = projection.row(point.Up);
        const Rgb colour =
            std::isnan(point.Value) ? NoValue : colourAt(values.fraction(point.Value));
        canvas.fill({x - radius, y - radius, x + radius, y + radius}, colour);
    }
}

void drawColourBar(const Range& values, const Layout& layout, Canvas& canvas) {
    const Box& bar = layout.Bar;
    canvas.fill({bar.Left - 1, bar.Top - 1, bar.Right + 1, bar.Bottom + 1}, Ink);
    for (int y = bar.Top; y <= bar.Bottom; ++y)
        canvas.fill({bar.Left, y, bar.Right, y},
                    colourAt(double(bar.Bottom - y) / std::max(bar.height() - 1, 1)));
    const int labelLeft = bar.Right + 1 + layout.Margin / 2;
    canvas.text(labelLeft, bar.Top - layout.Scale, label(values.High), layout.Scale);
    canvas.text(labelLeft, bar.Bottom - (GlyphHeight - 2) * layout.Scale, label(values.Low),
                layout.Scale);
}

// The smallest of 1, 2 or 5 times a power of ten that is at least `shortest`.
double roundStep(double shortest) {
    const double power = std::pow(10.0, std::floor(std::log10(shortest)));
    for (double step : {1.0, 2.0, 5.0})
        if (step * power >= shortest) return step * power;
    return 10 * power;
}

// A tick's coordinate with as many decimals as the step needs, so that neighbours differ.
std::string tickLabel(double value, double step) {
    const int decimals = std::clamp(-static_cast<int>(std::floor(std::log10(step))), 0, 12);
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value == 0 ? 0.0 : value);
    return std::strlen(text) <= 12 ? text : label(value);
}

// Ticks at the multiples of a round step within the range, at least `spacing` pixels apart, with
// their labels; `width` tells how many pixels a label needs along the axis.
std::vector<std::pair<double, std::string>>
ticksOf(const Range& range, double pixelsPerUnit, int spacing,
        const std::function<int(const std::string&)>& width) {
    std::vector<std::pair<double, std::string>> ticks;
    if (!(range.span() > 0) || !(pixelsPerUnit > 0) || !std::isfinite(pixelsPerUnit)) return ticks;
    for (double step = roundStep(range.span() / 6);; step = roundStep(step * 1.5)) {
        ticks.clear();
        int widest = 0;
        for (double k = std::ceil(range.Low / step); k * step <= range.High; ++k) {
            ticks.emplace_back(k * step, tickLabel(k * step, step));
            widest = std::max(widest, width(ticks.back().second));
        }
        if (step * pixelsPerUnit >= widest + spacing || ticks.size() <= 2) return ticks;
    }
}

// Ticks labelled in the data's coordinates along the bottom and the left of what is drawn, `gap`
// pixels away from it. A label that would run into the other axis's labels is left out.
void drawAxes(const Layout& layout, const Projection& projection, int gap, Canvas& canvas) {
    const Extent& drawn = projection.Drawn;
    const int left = projection.column(drawn.Across.Low),
              right = projection.column(drawn.Across.High);
    const int top = projection.row(drawn.Up.High), bottom = projection.row(drawn.Up.Low);
    const int axisRow = bottom + gap + 1, axisColumn = left - gap - 1;
    canvas.fill({axisColumn, axisRow, right, axisRow}, Ink);
    canvas.fill({axisColumn, top, axisColumn, axisRow}, Ink);
    const auto across =
        ticksOf(drawn.Across, projection.Scale, 2 * layout.Margin,
                [&](const std::string& text) { return textWidth(text, layout.Scale); });
    for (const auto& [value, text] : across) {
        const int x = projection.column(value);
        canvas.fill({x, axisRow, x, axisRow + layout.Tick}, Ink);
        if (x - textWidth(text, layout.Scale) / 2 < axisColumn - layout.Margin) continue;
        canvas.text(x - textWidth(text, layout.Scale) / 2, axisRow + layout.Tick + layout.Scale,
                    text, layout.Scale);
    }
    const auto up = ticksOf(drawn.Up, projection.Scale, layout.Margin,
                            [&](const std::string&) { return layout.Line; });
    for (const auto& [value, text] : up) {
        const int y = projection.row(value);
        canvas.fill({axisColumn - layout.Tick, y, axisColumn, y}, Ink);
        if (y + layout.Line / 2 > axisRow) continue;
        canvas.text(axisColumn - layout.Tick - layout.Scale - textWidth(text, layout.Scale),
                    y - (GlyphHeight - 2) * layout.Scale / 2, text, layout.Scale);
    }
}

// The text in the chunk of the attribute, or "".
std::string textAttribute(const Plexa::Field& field, const char* name) {
    const Quorix::DynPtr<Quorix::Chunk<std::string>, Quorix::ChunkBase> text(
        field.Attributes.getAttribute(name));
    return text && !text->empty() ? text->front() : std::string();
}

// The field's name, its long name and its units when it has them: "z, Geopotential [m**2 s**-2]".
std::string captionOf(const std::string& name, const Plexa::Field& field) {
    const std::string longName = textAttribute(field, "long_name");
    const std::string units = textAttribute(field, "units");
    std::string caption = name;
    if (!longName.empty() && longName != name) caption += ", " + longName;
    if (!units.empty()) caption += " [" + units + "]";
    return Plexa::printable(caption);
}

// The file's name with `view` after it (" - top view (x, y)"), and the field's caption below.
void drawTitle(const PreviewRequest& request, const std::string& view, const std::string& caption,
               const Layout& layout, Canvas& canvas) {
    const std::string name = std::filesystem::path(request.Title).filename().string();
    const int room = request.Width - 2 * layout.Margin;
    const std::string title =
        fitted(name, room - textWidth(view, layout.Scale), layout.Scale) + view;
    const std::string shown = fitted(caption, room, layout.Scale);
    canvas.text((request.Width - textWidth(title, layout.Scale)) / 2, layout.Margin, title,
                layout.Scale);
    canvas.text((request.Width - textWidth(shown, layout.Scale)) / 2, layout.Margin + layout.Line,
                shown, layout.Scale);
}

// Everything around the drawing: title, caption, axes `gap` pixels away from it and colour bar.
void decorate(const PreviewRequest& request, const std::string& view, const std::string& caption,
              const Range& values, const Layout& layout, const Projection& projection, int gap,
              Canvas& canvas) {
    if (!layout.Decorated) return;
    drawTitle(request, view, caption, layout, canvas);
    drawAxes(layout, projection, gap, canvas);
    drawColourBar(values, layout, canvas);
}

// A 2-D slice of a structured grid: the nodes' values in rows (second-to-last axis) of columns
// (last axis), and the coordinates of both.
struct GridSlice {
    const Plexa::Axis* Rows;
    const Plexa::Axis* Columns;
    std::vector<double> Values;
};

// For three axes, the nodes at index 0 of the first one, which come first in C order.
GridSlice sliceOf(const Plexa::Grid& grid, const std::string& field) {
    const std::vector<Plexa::Axis>& axes = grid.topology().Axes;
    GridSlice slice{&axes[axes.size() - 2], &axes.back(), valuesOf(*grid.findField(field)->Data)};
    slice.Values.resize(slice.Rows->Extent * slice.Columns->Extent);
    return slice;
}

// The n + 1 edges of the cells around n nodes: half way between neighbours, and as far beyond the
// ends; a lone node gets a cell of width 1.
std::vector<double> cellEdges(const Plexa::Axis& axis) {
    const std::size_t nodes = axis.Extent;
    if (nodes == 1) return {axis.coordinate(0) - 0.5, axis.coordinate(0) + 0.5};
    std::vector<double> edges{axis.coordinate(0) - (axis.coordinate(1) - axis.coordinate(0)) / 2};
    for (std::size_t i = 0; i + 1 < nodes; ++i)
        edges.push_back(axis.coordinate(i) / 2 + axis.coordinate(i + 1) / 2);
    edges.push_back(axis.coordinate(nodes - 1) +
                    (axis.coordinate(nodes - 1) - axis.coordinate(nodes - 2)) / 2);
    return edges;
}

// Each node a cell between its edges, at coordinates that grow rightwards and upwards: rows of
// decreasing latitude put the north on top.
void drawCells(const GridSlice& slice, const Range& values, const Projection& projection,
               Canvas& canvas) {
    const std::vector<double> across = cellEdges(*slice.Columns);
    const std::vector<double> up = cellEdges(*slice.Rows);
    for (std::size_t row = 0; row < slice.Rows->Extent; ++row) {
        const int top = std::min(projection.row(up[row]), projection.row(up[row + 1]));
        const int bottom = std::max(projection.row(up[row]), projection.row(up[row + 1]));
        for (std::size_t column = 0; column < slice.Columns->Extent; ++column) {
            const int left =
                std::min(projection.column(across[column]), projection.column(across[column + 1]));
            const int right =
                std::max(projection.column(across[column]), projection.column(across[column + 1]));
            const double value = slice.Values[row * slice.Columns->Extent + column];
            canvas.fill({left, top, std::max(left, right - 1), std::max(top, bottom - 1)},
                        std::isnan(value) ? NoValue : colourAt(values.fraction(value)));
        }
    }
}

// Draws the slice with its title, caption, axes and colour bar; false with a reason for a grid of
// one axis.
bool drawGrid(const Plexa::Grid& grid, const std::string& field, const PreviewRequest& request,
              Canvas& canvas, std::string& error) {
    const std::vector<Plexa::Axis>& axes = grid.topology().Axes;
    if (axes.size() < 2) {
        error = "the grid " + grid.name() + " that holds " + field +
                " has one axis; a preview draws grids of two or three axes";
        return false;
    }
    const GridSlice slice = sliceOf(grid, field);
    Range values;
    for (double value : slice.Values)
        values.include(value);
    const std::vector<double> across = cellEdges(*slice.Columns);
    const std::vector<double> up = cellEdges(*slice.Rows);
    std::vector<Point> corners;
    for (double x : {across.front(), across.back()})
        for (double y : {up.front(), up.back()})
            corners.push_back({x, y, 0, 0});
    const Extent extent = extentOf(corners);
    const Layout layout = layoutFor(request, values, extent.Up);
    const Projection projection = projectionFor(extent, layout.Plot);
    drawCells(slice, values, projection, canvas);
    std::string view = " - " + Plexa::printable(slice.Columns->Name) + " across, " +
                       Plexa::printable(slice.Rows->Name) + " up";
    if (axes.size() == 3)
        view += ", " + Plexa::printable(axes[0].Name) + " " + label(axes[0].coordinate(0));
    decorate(request, view, captionOf(field, *grid.findField(field)), values, layout, projection,
             layout.Scale, canvas);
    return true;
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
    if (bundle.slices().empty()) {
        error = "the bundle holds no time step";
        return false;
    }
    const Plexa::Slice& slice = *bundle.slices().begin()->second;
    const std::string field = fieldToShow(slice, request.Field);
    if (field.empty()) {
        error = "no point cloud of the first time step has a field of one value per point; "
                "name one with --field";
        return false;
    }
    Canvas canvas(request.Width, request.Height);
    std::vector<Point> points;
    for (const auto& [name, grid] : slice.grids())
        collectPoints(*grid, field, isSideView(request), points);
    const Plexa::Grid* structured = points.empty() ? structuredGridWith(slice, field) : nullptr;
    if (structured)
        return drawGrid(*structured, field, request, canvas, error) &&
               canvas.save(request.File, error);
    if (points.empty()) {
        error = "no grid of the first time step has both Positions and the field " + field;
        return false;
    }
    Range values;
    for (const Point& point : points)
        values.include(point.Value);
    const Extent extent = extentOf(points);
    const Layout layout = layoutFor(request, values, extent.Up);
    const Projection projection = projectionFor(extent, layout.Plot);
    const int radius = pointRadius(points.size(), layout.Plot);
    drawPoints(points, values, radius, projection, canvas);
    decorate(request, isSideView(request) ? " - side view (x, z)" : " - top view (x, y)",
             captionOf(field, *firstFieldNamed(slice, field)), values, layout, projection,
             radius + layout.Scale, canvas);
    return canvas.save(request.File, error);
}

} // namespace ConvLib::Inspect
