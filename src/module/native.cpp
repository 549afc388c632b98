// orvtool._native: the load report, frame-by-frame rendering and file placing
// for orvtool.
//
// Built from the same core as pyorv, but it prints nothing and hands back
// plain Python values (dicts, lists, tuples, bytes, numpy arrays); the only
// class it registers is its own frame stream, local to this module. A bad file
// never raises: its report says what is wrong. Wrong argument types raise
// TypeError. load_frames alone loads exactly as pyorv's OrvF.load does, its
// "ERROR: " lines included.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <initializer_list>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "anim/frame_statistics.hpp"
#include "anim/orv_encoder.hpp"
#include "common/diagnostics.hpp"
#include "common/file_io.hpp"
#include "common/path_text.hpp"
#include "orvfile/orv_file.hpp"
#include "render/index_layer.hpp"

namespace py = pybind11;
using namespace orv;

#define ORV_STRINGIFY(x) #x
#define ORV_MACRO_STRINGIFY(x) ORV_STRINGIFY(x)

namespace {

// Paths as the file system takes them: str, bytes or os.PathLike, as
// os.fsencode gives them (which raises TypeError for anything else). A str
// or bytes is converted here, as os.fsencode converts it, without a call
// into Python per path.
std::string fs_bytes(const py::object& path) {
    if (PyBytes_Check(path.ptr())) return path.cast<std::string>();
    if (PyUnicode_Check(path.ptr())) {
        const auto encoded = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(path.ptr()));
        if (!encoded) throw py::error_already_set();
        return encoded.cast<std::string>();
    }
    return py::module_::import("os").attr("fsencode")(path).cast<std::string>();
}

// A path as os.fsdecode gives it.
py::object fs_text(const std::string& bytes) {
    auto text = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
    if (!text) throw py::error_already_set();
    return text;
}

// A key of the dicts handed to orvtool, interned as Python interns its own
// names: a record made from a dict (its keys as keyword arguments) finds
// each field by identity instead of comparing strings.
py::str key(const char* name) {
    PyObject* text = PyUnicode_InternFromString(name);
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

py::object optional_int(bool present, std::int64_t value) {
    return present ? py::object(py::int_(value)) : py::object(py::none());
}

py::object where_value(std::int64_t value) {
    return value == Diagnostic::kNone ? py::object(py::none()) : py::object(py::int_(value));
}

// Text as the messages show it: bytes that are not UTF-8 escaped.
py::str shown_text(const char* data, std::size_t size) {
    PyObject* text = PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "backslashreplace");
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

py::dict diagnostic_dict(const Diagnostic& d) {
    py::dict out;
    out[key("category")] = category_name(d.category);
    out[key("error_line")] = d.error_line();
    // Messages carry paths as the file system gave them, shown as the rest
    // of the text. The text is decoded piece by piece, so that where each
    // path lies is known in characters: (start, end) of each.
    std::vector<TextSpan> spans;
    const std::string text = d.text(&spans);
    py::str message = shown_text(text.data(), text.size());
    py::list where;
    if (!spans.empty()) {
        py::list pieces;
        Py_ssize_t chars = 0;
        std::size_t at = 0;
        for (const TextSpan& span : spans) {
            py::str before = shown_text(text.data() + at, span.begin - at);
            py::str named = shown_text(text.data() + span.begin, span.end - span.begin);
            const Py_ssize_t start = chars + static_cast<Py_ssize_t>(py::len(before));
            chars = start + static_cast<Py_ssize_t>(py::len(named));
            where.append(py::make_tuple(start, chars));
            pieces.append(before);
            pieces.append(named);
            at = span.end;
        }
        pieces.append(shown_text(text.data() + at, text.size() - at));
        message = py::str("").attr("join")(pieces);
    }
    out[key("message")] = message;
    py::list paths;
    for (const std::string& p : d.paths) paths.append(fs_text(p));
    out[key("paths")] = py::tuple(paths);
    out[key("spans")] = py::tuple(where);
    out[key("frame")] = where_value(d.frame);
    out[key("row")] = where_value(d.row);
    out[key("index")] = where_value(d.index);
    out[key("values")] = py::make_tuple(d.values[0], d.values[1], d.values[2]);
    return out;
}

// One row as (block_count, [(offset, color_count, indices), ...]).
py::tuple row_tuple(const OrvPixelSet& row) {
    py::list runs;
    for (const OrvPixelBlock& block : row.blocks) {
        runs.append(py::make_tuple(block.offset, block.color_count,
                                   py::bytes(reinterpret_cast<const char*>(block.colors.data()), block.colors.size())));
    }
    return py::make_tuple(row.block_count, std::move(runs));
}

py::list frame_rows(const OrvFrame& frame) {
    py::list rows;
    for (const OrvPixelSet& row : frame.pixel_sets()) rows.append(row_tuple(row));
    return rows;
}

py::dict image_dict(std::size_t index, const OrvFrameBufferObject& image) {
    py::dict out;
    out[key("index")] = index;
    out[key("width")] = image.width;
    out[key("height")] = image.height;
    out[key("offset_x")] = image.offset_x;
    out[key("offset_y")] = image.offset_y;
    out[key("pixels")] = py::bytes(reinterpret_cast<const char*>(image.pixels.data()), image.pixels.size());
    return out;
}

// The frames of one load as a sequence whose items are made when asked for:
// a report of a file of millions of frames holds the load's own records and
// the item in hand, not a dict (and its rows) for every frame.
class FrameRecords {
public:
    FrameRecords(std::shared_ptr<const OrvF> file, bool rows) : file_(std::move(file)), rows_(rows) {}

    std::size_t size() const { return std::min(file_->data()->frames.size(), file_->report().frames.size()); }

    const OrvF& file() const { return *file_; }

    py::dict at(py::ssize_t index) const {
        const std::size_t i = item_index(index, size());
        const OrvFrame& frame = *file_->data()->frames[i];
        const FrameExtent& extent = file_->report().frames[i];
        py::dict f;
        f[key("index")] = i;
        f[key("start")] = extent.start;
        f[key("end")] = extent.end;
        f[key("whole")] = extent.whole;
        f[key("height_word")] = extent.height_word;
        f[key("frame_size")] = frame.frame_size;
        f[key("height")] = frame.height;
        f[key("is_shadow")] = frame.is_shadow;
        f[key("width")] = frame.width;
        f[key("y_offset")] = frame.y_offset;
        f[key("x_offset")] = frame.x_offset;
        f[key("unk1")] = frame.unk1;
        f[key("unk2")] = frame.unk2;
        if (rows_) f[key("rows")] = frame_rows(frame);
        return f;
    }

    // A Python index (negative from the end) into `count` items.
    static std::size_t item_index(py::ssize_t index, std::size_t count) {
        const auto n = static_cast<py::ssize_t>(count);
        if (index < 0) index += n;
        if (index < 0 || index >= n) throw py::index_error("index out of range");
        return static_cast<std::size_t>(index);
    }

private:
    std::shared_ptr<const OrvF> file_;
    bool rows_;
};

// The rendered images of one load, each handed out as a dict when asked for.
class FrameImages {
public:
    explicit FrameImages(std::vector<OrvFrameBufferObject> images) : images_(std::move(images)) {}

    std::size_t size() const { return images_.size(); }

    py::dict at(py::ssize_t index) const {
        const std::size_t i = FrameRecords::item_index(index, size());
        return image_dict(i, images_[i]);
    }

private:
    std::vector<OrvFrameBufferObject> images_;
};

// One line of text made of numbers in columns, as printf's %Nd (right-aligned
// in N places) and %-Nd (left-aligned) write them, without a format string
// parsed per line.
class TextLine {
public:
    TextLine& text(const char* part) {
        while (*part != '\0') put(*part++);
        return *this;
    }

    // `width` places at least, the number to the right; negative: to the left.
    TextLine& number(long long value, int width) {
        char digits[24] = {};
        const std::to_chars_result done = std::to_chars(digits, digits + sizeof digits, value);
        const auto length = static_cast<int>(done.ptr - digits);
        const int pad = std::abs(width) - length;
        for (int k = 0; width > 0 && k < pad; ++k) put(' ');
        for (const char* d = digits; d != done.ptr; ++d) put(*d);
        for (int k = 0; width < 0 && k < pad; ++k) put(' ');
        return *this;
    }

    // The line as a new str.
    PyObject* release() const {
        PyObject* text = PyUnicode_FromStringAndSize(buffer_, static_cast<Py_ssize_t>(size_));
        if (text == nullptr) throw py::error_already_set();
        return text;
    }

private:
    void put(char c) {
        if (size_ < sizeof buffer_) buffer_[size_++] = c;
    }

    char buffer_[256] = {};
    std::size_t size_ = 0;
};

// What the frames of one load give, as plain values: each asked for, in
// one pass over the frames. Indices from the palette file's entry count on
// count as past the palette (none when the count was not read).
//   table:  the frames as columns, one item per frame: the fields of each
//           frame record and the statistics of its runs. Each column is a
//           list filled as the frames are counted, so that a file of millions
//           of frames holds nothing else besides.
//   lines:  the line of each frame in the table that `orvtool info` prints.
//   totals: the statistics of all frames: counts added up, the longest run
//           and the most runs in a row of any frame.
struct FrameViews {
    py::object table = py::none();
    py::object lines = py::none();
    py::object totals = py::none();
};

// The columns of the frame table, in order: the record's fields, then the
// statistics of its runs.
const char* const kFrameColumns[] = {"width",
                                     "height",
                                     "x_offset",
                                     "y_offset",
                                     "is_shadow",
                                     "frame_size",
                                     "unk1",
                                     "unk2",
                                     "rows",
                                     "runs",
                                     "empty_runs",
                                     "covered_pixels",
                                     "longest_run",
                                     "most_runs_in_a_row",
                                     "non_maximal_rows",
                                     "palette_pixels",
                                     "past_palette"};
constexpr std::size_t kFrameColumnCount = sizeof kFrameColumns / sizeof kFrameColumns[0];
constexpr std::size_t kShadowColumn = 4;  // a bool, the others ints
using FrameRow = std::array<long long, kFrameColumnCount>;

// One frame's item of each column.
FrameRow frame_row(const OrvFrame& frame, const FrameStatistics& s) {
    return {frame.width,
            frame.height,
            frame.x_offset,
            frame.y_offset,
            frame.is_shadow != 0 ? 1 : 0,
            static_cast<long long>(frame.frame_size),
            frame.unk1,
            frame.unk2,
            static_cast<long long>(s.rows),
            static_cast<long long>(s.runs),
            static_cast<long long>(s.empty_runs),
            static_cast<long long>(s.covered_pixels),
            s.longest_run,
            s.most_runs_in_a_row,
            static_cast<long long>(s.non_maximal_rows),
            static_cast<long long>(s.palette_pixels),
            static_cast<long long>(s.past_palette)};
}

// Frame i's line in orvtool info's table: frame, size, x_off, y_off, shadow,
// runs, pixels, frame_size, unk1, unk2, as
// "  %5d  %5dx%-5d %6d %6d  %6s  %5d  %6d  %10d  %4d %4d" gives them.
PyObject* frame_line(std::size_t i, const FrameRow& values) {
    TextLine line;
    line.text("  ").number(static_cast<long long>(i), 5).text("  ").number(values[0], 5).text("x");
    line.number(values[1], -5).text(" ").number(values[2], 6).text(" ").number(values[3], 6);
    line.text(values[kShadowColumn] != 0 ? "     yes  " : "      no  ").number(values[9], 5).text("  ");
    line.number(values[11], 6).text("  ").number(values[5], 10).text("  ").number(values[6], 4);
    line.text(" ").number(values[7], 4);
    return line.release();
}

py::dict totals_dict(const FrameStatistics& total) {
    py::dict totals;
    totals[key("rows")] = total.rows;
    totals[key("runs")] = total.runs;
    totals[key("empty_runs")] = total.empty_runs;
    totals[key("covered_pixels")] = total.covered_pixels;
    totals[key("longest_run")] = total.longest_run;
    totals[key("most_runs_in_a_row")] = total.most_runs_in_a_row;
    totals[key("non_maximal_rows")] = total.non_maximal_rows;
    totals[key("palette_pixels")] = total.palette_pixels;
    totals[key("past_palette")] = total.past_palette;
    return totals;
}

FrameViews frame_views(const OrvF& file, bool want_table, bool want_lines) {
    const OrvData& data = *file.data();
    const PaletteLoadInfo& palette = file.report().palette.load;
    const std::size_t entries = palette.count_read ? palette.entry_count : 256;
    const std::size_t n = std::min(data.frames.size(), file.report().frames.size());
    std::vector<py::list> columns;
    if (want_table) {
        columns.reserve(kFrameColumnCount);
        for (std::size_t c = 0; c < kFrameColumnCount; ++c) columns.emplace_back(n);
    }
    py::list lines(want_lines ? n : 0);
    FrameStatistics total;
    for (std::size_t i = 0; i < n; ++i) {
        const OrvFrame& frame = *data.frames[i];
        const FrameStatistics s = frame_statistics(frame, entries);
        total += s;
        const FrameRow values = frame_row(frame, s);
        for (std::size_t c = 0; want_table && c < kFrameColumnCount; ++c) {
            PyObject* value =
                c == kShadowColumn ? PyBool_FromLong(static_cast<long>(values[c])) : PyLong_FromLongLong(values[c]);
            if (value == nullptr) throw py::error_already_set();
            PyList_SET_ITEM(columns[c].ptr(), static_cast<Py_ssize_t>(i), value);
        }
        if (want_lines) PyList_SET_ITEM(lines.ptr(), static_cast<Py_ssize_t>(i), frame_line(i, values));
    }
    FrameViews out;
    if (want_table) {
        py::dict table;
        for (std::size_t c = 0; c < kFrameColumnCount; ++c) table[key(kFrameColumns[c])] = std::move(columns[c]);
        out.table = std::move(table);
    }
    if (want_lines) out.lines = std::move(lines);
    out.totals = totals_dict(total);
    return out;
}

// The form of the head: whether it has the header, its reserved bytes and
// its flag byte.
py::dict form_dict(const OrvHead& head) {
    py::dict form;
    form[key("has_header")] = head.has_header;
    form[key("reserved")] =
        head.has_header
            ? py::object(py::bytes(reinterpret_cast<const char*>(head.reserved.data()), head.reserved.size()))
            : py::object(py::none());
    form[key("flag")] = optional_int(head.background_flag_read, head.flag_byte);
    return form;
}

// The head's fields and what the load counted of the records and after them.
void add_head(py::dict& out, const LoadReport& rep, const OrvData& data) {
    const OrvHead& head = rep.head;
    out[key("form")] = form_dict(head);
    out[key("head_whole")] = rep.opened && head.whole();
    out[key("head_size")] = head.end;
    out[key("speed")] = optional_int(head.speed_read, head.speed);
    out[key("path_length")] = optional_int(head.path_length_read, head.path_length);
    out[key("path_field")] = py::bytes(head.path);
    out[key("location")] = py::bytes(head.path.substr(0, head.path.find('\0')));
    out[key("frame_count_field")] = optional_int(head.frame_count_read, head.frame_count);
    out[key("has_background")] = data.has_background;
    out[key("frame_count")] = data.info.frame_count;
    out[key("frames_wanted")] = rep.frames_wanted;
    out[key("frames_whole")] = rep.frames_whole;
    out[key("trailing_start")] = rep.trailing_start;
    out[key("trailing_bytes")] = rep.trailing_bytes;
    out[key("trailing")] = py::bytes(reinterpret_cast<const char*>(rep.trailing.data()), rep.trailing.size());
}

// What the palette search and load found, and the colours loaded.
py::dict palette_dict(const PaletteReport& pal, const PalF& loaded) {
    py::dict palette;
    palette[key("location")] = py::bytes(pal.location);
    palette[key("from_option")] = pal.from_option;
    py::list tried;
    for (const std::string& t : pal.tried) tried.append(fs_text(t));
    palette[key("tried")] = tried;
    palette[key("path")] = pal.path.empty() ? py::object(py::none()) : fs_text(pal.path);
    palette[key("is_directory")] = pal.is_directory;
    palette[key("result")] = pal.load.result;
    palette[key("entry_count")] = optional_int(pal.load.count_read, pal.load.entry_count);
    palette[key("entries_in_file")] = pal.load.entries_in_file;
    palette[key("problem")] = pal.problem.empty() ? py::object(py::none()) : py::object(py::str(pal.problem));
    // Four bytes per entry, r, g, b, a: every load reports 256 entries, and
    // most callers never look at them one by one.
    const std::vector<PalF::Color>& table = loaded.color_table();
    std::string colors(table.size() * 4, '\0');
    for (std::size_t i = 0; i < table.size(); ++i) {
        const PalF::Color& c = table[i];
        colors[i * 4] = static_cast<char>(c.r);
        colors[i * 4 + 1] = static_cast<char>(c.g);
        colors[i * 4 + 2] = static_cast<char>(c.b);
        colors[i * 4 + 3] = static_cast<char>(c.a);
    }
    palette[key("colors")] = py::bytes(colors);
    return palette;
}

// The findings, the core's then `extra`, with their counts by category.
void add_diagnostics(py::dict& out, const DiagnosticReport& found, const std::vector<Diagnostic>& extra) {
    py::list diagnostics;
    py::dict counts;
    for (const Diagnostic& d : found.kept()) diagnostics.append(diagnostic_dict(d));
    for (std::size_t c = 0; c < kCategoryCount; ++c) {
        const auto category = static_cast<Category>(c);
        if (found.has(category)) counts[key(category_name(category))] = found.count(category);
    }
    for (const Diagnostic& d : extra) {
        diagnostics.append(diagnostic_dict(d));
        const char* name = category_name(d.category);
        counts[key(name)] = (counts.contains(name) ? counts[name].cast<std::uint64_t>() : 0) + 1;
    }
    out[key("diagnostics")] = diagnostics;
    out[key("counts")] = counts;
    out[key("diagnostics_total")] = found.total() + extra.size();
}

// Everything one load learned, as plain values. `extra` holds findings of
// the binding itself (a palette search that failed), after the core's.
py::dict report_dict(const std::string& path, const std::shared_ptr<const OrvF>& held,
                     const std::vector<Diagnostic>& extra, bool records) {
    const LoadReport& rep = held->report();
    const OrvData& data = *held->data();
    py::dict out;
    out[key("path")] = fs_text(path);
    out[key("status")] = status_name(extra.empty() ? rep.status() : Status::failed);
    out[key("opened")] = rep.opened;
    out[key("file_size")] = rep.file_size;
    add_head(out, rep, data);
    out[key("palette")] = palette_dict(rep.palette, *data.palette);
    out[key("frames")] = py::cast(FrameRecords(held, records));
    add_diagnostics(out, rep.diagnostics, extra);
    return out;
}

// Runs `read`, a reading part of a load (or the whole load); a failure of
// the file system during the palette search becomes a finding instead of an
// exception. Touches no Python object: callers run it without the
// interpreter lock.
template <typename Read>
std::vector<Diagnostic> searched(const Read& read) {
    std::vector<Diagnostic> extra;
    try {
        read();
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::filesystem::filesystem_error& e) {
        extra.push_back(search_failure(e));
    } catch (const std::exception& e) {
        Diagnostic d;
        d.category = Category::palette_search_failed;
        d.message = std::string("the palette search failed: ") + e.what();
        extra.push_back(std::move(d));
    }
    return extra;
}

// The reading part of a load of the file at `path` (render: the whole load),
// within `options`: one open, only the bytes the head and records take.
std::vector<Diagnostic> read_into(OrvF& file, const std::string& path, const std::string& io_pal,
                                  const LoadOptions& options, bool render) {
    // A name cut at a zero byte would be another name: refused, not found.
    for (const std::string* name : {&path, &io_pal}) {
        if (name->find('\0') != std::string::npos) throw_zero_byte_in_name(*name);
    }
    return searched([&] {
        if (render) {
            file.load_file(path, io_pal, options);
        } else {
            file.read_file(path, io_pal, options);
        }
    });
}

// The frame-record budget of a call: None for none.
LoadOptions load_options(const py::object& max_records, std::uint64_t trailing = 0) {
    LoadOptions options;
    if (!max_records.is_none()) options.max_records = max_records.cast<std::uint64_t>();
    options.keep_trailing = trailing;
    return options;
}

// A read-only (height, width, 4) uint8 array over an image's bytes, which the
// array keeps alive; the image gives them up.
py::array image_array(OrvFrameBufferObject& image) {
    const std::vector<py::ssize_t> shape{image.height, image.width, image.channels};
    py::array_t<std::uint8_t> array;
    if (image.pixels.empty()) {
        array = py::array_t<std::uint8_t>(shape);
    } else {
        auto* owned = new PixelBytes(std::move(image.pixels));
        py::capsule base(owned, [](void* p) { delete static_cast<PixelBytes*>(p); });
        array = py::array_t<std::uint8_t>(shape, owned->data(), base);
    }
    py::detail::array_proxy(array.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return std::move(array);
}

// One animation read once, rendered one frame at a time. Reading and
// rendering run without the interpreter lock; the stream's own lock keeps
// two threads from rendering or reporting on it at once.
class FrameStream {
public:
    // `data`: the file's bytes, read from memory (`path` then only serves the
    // palette search); None: the file at `path` is read. Either way only the
    // bytes the head and records take are kept.
    FrameStream(std::string path, const std::string& io_pal, const py::object& data, const LoadOptions& options)
        : path_(std::move(path)), file_(std::make_shared<OrvF>()) {
        if (data.is_none()) {
            py::gil_scoped_release unlocked;
            extra_ = read_into(*file_, path_, io_pal, options, false);
            return;
        }
        Py_buffer view;
        if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0) {
            PyErr_Clear();
            throw py::type_error(std::string("data must be a contiguous bytes-like object, not ") +
                                 Py_TYPE(data.ptr())->tp_name);
        }
        // Released with the interpreter lock held, however the read ends.
        const std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> held(&view, PyBuffer_Release);
        py::gil_scoped_release unlocked;
        extra_ = searched([&] {
            file_->read_memory(static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len), path_,
                               io_pal, options);
        });
    }

    std::size_t size() const { return extra_.empty() ? file_->data()->frames.size() : 0; }

    py::object render(std::size_t i) {
        if (i >= size()) throw py::index_error("frame index out of range");
        OrvFrameBufferObject image;
        bool drawn = false;
        {
            py::gil_scoped_release unlocked;
            const std::lock_guard<std::mutex> hold(mutex_);
            drawn = file_->render_frame(i, image);
        }
        if (!drawn) return py::none();
        return image_dict(i, image);
    }

    // (x_offset, y_offset, width, height) of frame i's record.
    py::tuple frame_box(std::size_t i) const {
        if (i >= size()) throw py::index_error("frame index out of range");
        const OrvFrame& frame = *file_->data()->frames[i];
        return py::make_tuple(frame.x_offset, frame.y_offset, frame.width, frame.height);
    }

    // (left, top, right, bottom) of the union of the frames' rectangles that
    // hold pixels, relative to the origin; None when no frame holds one.
    py::object extent() const {
        bool any = false;
        int left = 0;
        int top = 0;
        int right = 0;
        int bottom = 0;
        const std::size_t n = size();
        for (std::size_t i = 0; i < n; ++i) {
            const OrvFrame& f = *file_->data()->frames[i];
            if (f.width == 0 || f.height == 0) continue;
            const int x = f.x_offset;
            const int y = f.y_offset;
            left = any ? std::min(left, x) : x;
            top = any ? std::min(top, y) : y;
            right = any ? std::max(right, x + f.width) : x + f.width;
            bottom = any ? std::max(bottom, y + f.height) : y + f.height;
            any = true;
        }
        if (!any) return py::none();
        return py::make_tuple(left, top, right, bottom);
    }

    py::dict report(bool records) {
        const std::lock_guard<std::mutex> hold(mutex_);
        return report_dict(path_, file_, extra_, records);
    }

private:
    std::string path_;
    std::shared_ptr<OrvF> file_;
    std::vector<Diagnostic> extra_;
    std::mutex mutex_;
};

// The bytes of a bytes-like object, in order; TypeError for anything else
// (and for a buffer whose bytes are not laid out in one C-ordered block).
std::vector<std::uint8_t> buffer_bytes(const py::handle& data) {
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0) {
        PyErr_Clear();
        throw py::type_error(std::string("data must be a contiguous bytes-like object, not ") +
                             Py_TYPE(data.ptr())->tp_name);
    }
    const auto* first = static_cast<const std::uint8_t*>(view.buf);
    std::vector<std::uint8_t> bytes(first, first + view.len);
    PyBuffer_Release(&view);
    return bytes;
}

py::dict placement_dict(const Placement& p) {
    static const char* const kResults[] = {"not_written", "placed", "open_failed", "write_failed", "link_refused"};
    py::dict out;
    out[key("result")] = kResults[static_cast<int>(p.result)];
    out[key("method")] = p.method == SavedFile::Method::replace    ? py::object(py::str("replace"))
                         : p.method == SavedFile::Method::in_place ? py::object(py::str("in_place"))
                                                                   : py::object(py::none());
    out[key("error")] = p.error != 0 ? py::object(py::int_(p.error)) : py::object(py::none());
    return out;
}

SavedFile::Links links(bool follow) { return follow ? SavedFile::Links::followed : SavedFile::Links::refused; }

py::dict place_one_file(const py::object& path, const py::object& data, bool follow_links) {
    const FileToPlace file{fs_bytes(path), buffer_bytes(data), links(follow_links)};
    Placement placement;
    {
        py::gil_scoped_release unlocked;
        placement = place_one(file);
    }
    return placement_dict(placement);
}

// One (path, data) or (path, data, follow_links) tuple.
FileToPlace file_to_place(const py::handle& item) {
    const bool is_tuple = py::isinstance<py::tuple>(item);
    const std::size_t size = is_tuple ? py::len(item) : 0;
    const auto pair = is_tuple ? py::reinterpret_borrow<py::tuple>(item) : py::tuple();
    if (size < 2 || size > 3 || (size == 3 && !py::isinstance<py::bool_>(pair[2]))) {
        throw py::type_error("place_files takes (path, data) or (path, data, follow_links) tuples");
    }
    std::string name = fs_bytes(pair[0]);
    return FileToPlace{std::move(name), buffer_bytes(pair[1]), links(size == 2 || pair[2].ptr() == Py_True)};
}

py::list place_several(const py::iterable& items) {
    std::vector<FileToPlace> files;
    for (const py::handle item : items) files.push_back(file_to_place(item));
    std::vector<Placement> placements;
    {
        py::gil_scoped_release unlocked;
        placements = place_files(files);
    }
    py::list out;
    for (const Placement& p : placements) out.append(placement_dict(p));
    return out;
}

// Plain Python values to encoder records. Every number is taken whole and
// must fit its field: a value that does not raises OverflowError or TypeError.
template <typename T>
T field(const py::handle& obj, const char* key) {
    return py::reinterpret_borrow<py::dict>(obj)[key].cast<T>();
}

std::vector<std::uint8_t> bytes_of(const py::handle& obj) {
    const std::string text = py::reinterpret_borrow<py::bytes>(obj);
    return {text.begin(), text.end()};
}

FrameRecord frame_record(const py::handle& obj) {
    if (!py::isinstance<py::dict>(obj)) throw py::type_error("a frame record is a dict");
    FrameRecord f;
    f.frame_size = field<std::uint32_t>(obj, "frame_size");
    f.height_word = field<std::uint16_t>(obj, "height_word");
    f.width = field<std::uint16_t>(obj, "width");
    f.x_offset = field<std::int16_t>(obj, "x_offset");
    f.y_offset = field<std::int16_t>(obj, "y_offset");
    f.unk1 = field<std::uint8_t>(obj, "unk1");
    f.unk2 = field<std::uint8_t>(obj, "unk2");
    for (const py::handle row : py::reinterpret_borrow<py::dict>(obj)["rows"]) {
        const auto pair = row.cast<py::tuple>();
        if (pair.size() != 2) throw py::type_error("a row record is (block_count, runs)");
        RowRecord r;
        r.block_count = pair[0].cast<std::uint8_t>();
        for (const py::handle run : pair[1]) {
            const auto triple = run.cast<py::tuple>();
            if (triple.size() != 3) throw py::type_error("a run record is (offset, color_count, indices)");
            r.runs.push_back(
                RunRecord{triple[0].cast<std::uint8_t>(), triple[1].cast<std::uint8_t>(), bytes_of(triple[2])});
        }
        f.rows.push_back(std::move(r));
    }
    return f;
}

// The head's fields; the frames are encoded one at a time.
AnimationRecord head_record(const py::dict& head) {
    AnimationRecord a;
    a.has_header = field<bool>(head, "has_header");
    const std::vector<std::uint8_t> reserved = bytes_of(head["reserved"]);
    if (reserved.size() != a.reserved.size()) throw py::value_error("'reserved' is 4 bytes");
    std::copy(reserved.begin(), reserved.end(), a.reserved.begin());
    a.flag = field<std::uint8_t>(head, "flag");
    a.speed = field<std::uint32_t>(head, "speed");
    a.path_length = field<std::uint32_t>(head, "path_length");
    a.path_field = head["path_field"].cast<py::bytes>();
    a.frame_count = field<std::uint32_t>(head, "frame_count");
    a.trailing = bytes_of(head["trailing"]);
    return a;
}

}  // namespace

void add_export_frame(py::module_& m);

namespace {

// load_report: the whole load of one file, and what the caller asked for of it.
py::dict load_report(const py::object& path, const py::object& io_pal, bool records, bool images, bool table,
                     bool lines, const py::object& max_records, std::uint64_t trailing) {
    const std::string name = fs_bytes(path);
    const std::string palette = io_pal.is_none() ? std::string() : fs_bytes(io_pal);
    const LoadOptions options = load_options(max_records, trailing);
    auto file = std::make_shared<OrvF>();
    std::vector<Diagnostic> extra;
    std::vector<OrvFrameBufferObject> held;
    {
        // The core's work, on the core's objects alone.
        py::gil_scoped_release unlocked;
        extra = read_into(*file, name, palette, options, true);
        // The report's frame records keep the load alive: its images leave it,
        // into the report or nowhere.
        held = file->take_frame_buffer();
    }
    py::dict out = report_dict(name, file, extra, records);
    if (table || lines) {
        FrameViews views = frame_views(*file, table, lines);
        if (table) out[key("frame_table")] = std::move(views.table);
        if (lines) out[key("frame_lines")] = std::move(views.lines);
        out[key("frame_totals")] = std::move(views.totals);
    }
    if (images) out[key("images")] = held.empty() ? py::object(py::none()) : py::cast(FrameImages(std::move(held)));
    return out;
}

// load_frames: the images of a load as pyorv's makes them, with or without its report.
py::object load_frames(const py::object& path, const py::object& io_pal, bool with_report) {
    const std::string name = fs_bytes(path);
    const std::string palette = io_pal.is_none() ? std::string() : fs_bytes(io_pal);
    auto file = std::make_shared<OrvF>();
    // Each array keeps its own image alive, and no other.
    file->separate_images(true);
    // Only the images are handed out, as pyorv's load keeps them; the
    // report counts frames without the records' extents.
    file->keep_frame_extents(with_report);
    std::vector<Diagnostic> extra;
    std::vector<OrvFrameBufferObject> images;
    {
        // The core's work, on the core's objects alone.
        py::gil_scoped_release unlocked;
        if (with_report) {
            extra = read_into(*file, name, palette, LoadOptions{}, true);
        } else {
            file->load(name, 0, palette, error_printer());
        }
        // A load that returns None leaves no image.
        images = file->take_frame_buffer();
    }
    py::object frames = py::none();
    if (!images.empty()) {
        py::list out(images.size());
        for (std::size_t i = 0; i < images.size(); ++i) {
            OrvFrameBufferObject& image = images[i];
            out[i] = py::make_tuple(image_array(image), image.offset_x, image.offset_y);
        }
        frames = std::move(out);
    }
    if (!with_report) return frames;
    return py::make_tuple(frames, report_dict(name, file, extra, false));
}

std::unique_ptr<FrameStream> open_frames(const py::object& path, const py::object& io_pal, const py::object& data,
                                         const py::object& max_records) {
    const std::string palette = io_pal.is_none() ? std::string() : fs_bytes(io_pal);
    return std::make_unique<FrameStream>(fs_bytes(path), palette, data, load_options(max_records));
}

// find_palette: (the palette found or None, the candidates tried).
py::tuple search_palette(const py::object& animation_path, const py::object& location) {
    std::vector<std::string> tried;
    py::object found = py::none();
    try {
        const std::filesystem::path p = find_palette(std::filesystem::path(fs_bytes(animation_path)),
                                                     std::filesystem::path(fs_bytes(location)), &tried);
        if (!p.empty()) found = fs_text(p.string());
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        // A file system that fails the search finds nothing.
    }
    py::list candidates;
    for (const std::string& t : tried) candidates.append(fs_text(t));
    return py::make_tuple(found, candidates);
}

// encode_animation: (bytes, difference or None).
py::tuple encoded_animation(const py::dict& head, const py::iterable& frames, bool check) {
    StreamEncoder encoder(head_record(head));
    for (const py::handle frame : frames) encoder.add(frame_record(frame));
    const ReadBack back = encoder.finish(check);
    const std::vector<std::uint8_t>& bytes = encoder.bytes();
    py::object difference = py::none();
    if (!back.same()) {
        difference =
            py::make_tuple(back.field, back.frame < 0 ? py::object(py::none()) : py::int_(back.frame), back.detail);
    }
    return py::make_tuple(py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size()), difference);
}

// The load report and the loads of frames.
void add_loading(py::module_& m) {
    m.def("load_report", &load_report, py::arg("path"), py::arg("io_pal") = py::none(), py::kw_only(),
          py::arg("records") = true, py::arg("images") = false, py::arg("frame_table") = false,
          py::arg("frame_lines") = false, py::arg("max_records") = py::none(), py::arg("trailing") = 0,
          "Loads an animation file as pyorv.OrvF.load does (io_pal names the palette file, else it is searched "
          "for), through one open and only as far as its frame records reach, and returns what the load found, as "
          "a dict. With max_records, a file whose head and size allow more frame records is refused before any is "
          "read: its report holds its head and one too_many_frames finding. The bytes after the last record are "
          "counted (trailing_bytes), and read into trailing only when trailing is at least their number. With "
          "images=True also the "
          "rendered frames, with "
          "frame_table=True also the frames as columns (a dict of lists, one item per frame): width, height, "
          "x_offset, y_offset, is_shadow, frame_size, unk1, unk2 as the records hold them, and the statistics of "
          "their runs counted by the core: rows, runs, empty_runs, covered_pixels (the colour counts added up), "
          "longest_run, most_runs_in_a_row, non_maximal_rows (rows past the height or not the maximal encoding of "
          "their pixels), palette_pixels (pixels a frame other than a shadow frame covers inside its width and "
          "height) and past_palette (those whose index is not below the palette file's entry count); with "
          "frame_lines=True also the line of each frame in the table that orvtool info prints. With either, also "
          "frame_totals: the statistics of all frames (a dict: rows, runs, empty_runs, covered_pixels, "
          "non_maximal_rows, palette_pixels and past_palette added up, longest_run and most_runs_in_a_row the "
          "largest of any frame, 0 without frames).");

    m.def("load_frames", &load_frames, py::arg("path"), py::arg("io_pal") = py::none(), py::kw_only(),
          py::arg("report") = false,
          "Loads an animation file exactly as pyorv.OrvF.load does, its error lines included, and returns a list "
          "of (pixels, offset_x, offset_y) per frame, pixels a read-only (height, width, 4) uint8 array that holds "
          "its own storage (a kept array keeps no other frame alive); None when OrvF.load would return None. With "
          "report=True nothing is printed and the result is (that list or None, the load report as load_report "
          "gives it without records). The load runs without the interpreter lock; its error lines are written "
          "whole, one at a time.");
}

// All-or-nothing placement of written files.
void add_placing(py::module_& m) {
    m.def("place_file", &place_one_file, py::arg("path"), py::arg("data"), py::kw_only(),
          py::arg("follow_links") = true,
          "Saves data (a bytes-like object) as the whole content of the file at path, by the rule pyorv saves by: "
          "a new file renamed over the target where that is indistinguishable from a plain write, else the target "
          "truncated and written in place; what a plain open refuses is refused. Returns a dict: result ('placed', "
          "'open_failed', 'write_failed'), method ('replace', 'in_place', or None when the open failed) and error "
          "(the system's error number for a failure when it gave one, else None). A failed replacement leaves the "
          "old file as it was. With follow_links=False no symbolic link on the path is followed, the file's own "
          "name included: a link there gives the result 'link_refused' and nothing is written.");

    m.def("place_files", &place_several, py::arg("items"),
          "Saves several files that belong together, each as place_file does; items are (path, data) tuples, or "
          "(path, data, follow_links) as place_file takes them. "
          "Every target is opened before any is written, so a target that cannot be opened leaves all of them as "
          "they were; then they are written in order, stopping at the first that fails. Returns one dict per item, "
          "as place_file does, whose result may also be 'not_written' (nothing was written to that file).");
}

// Frames read one at a time, rendered when asked for.
void add_frame_stream(py::module_& m) {
    py::class_<FrameRecords>(m, "FrameRecords", py::module_local())
        .def("__len__", &FrameRecords::size)
        .def("__getitem__", &FrameRecords::at, py::arg("index"),
             "The record of one frame as a dict, made when asked for (negative indices count from the end).");
    py::class_<FrameImages>(m, "FrameImages", py::module_local())
        .def("__len__", &FrameImages::size)
        .def("__getitem__", &FrameImages::at, py::arg("index"),
             "One rendered image as a dict (index, width, height, offset_x, offset_y, pixels).");

    py::class_<FrameStream>(m, "FrameStream", py::module_local())
        .def("__len__", &FrameStream::size)
        .def("render", &FrameStream::render, py::arg("index"),
             "The image of one frame as a dict (index, width, height, offset_x, offset_y, pixels), or None when "
             "the palette holds no colour.")
        .def("report", &FrameStream::report, py::kw_only(), py::arg("records") = false,
             "The load report, with the findings of the frames rendered so far.")
        .def("frame_box", &FrameStream::frame_box, py::arg("index"),
             "(x_offset, y_offset, width, height) of one frame's record.")
        .def("extent", &FrameStream::extent,
             "(left, top, right, bottom): the union of the rectangles of the frames that hold pixels, relative to "
             "the origin; None when none does.");

    m.def("open_frames", &open_frames, py::arg("path"), py::arg("io_pal") = py::none(), py::kw_only(),
          py::arg("data") = py::none(), py::arg("max_records") = py::none(),
          "Reads an animation file and its palette without rendering, through one open and only as far as its "
          "frame records reach; the stream renders one frame at a time. With data (a bytes-like object) the file's "
          "bytes are taken from it (only those the records take are kept) and path only serves the palette search. "
          "With max_records, a file whose head and size allow more frame records is refused before any is read, "
          "as load_report refuses it (a stream of no frames).");
}

// The palette search alone.
void add_palette_search(py::module_& m) {
    m.def("find_palette", &search_palette, py::arg("animation_path"), py::arg("location"),
          "The palette search of a load: the file that `location` names from the folder of `animation_path` or "
          "the first folder above it where it exists (None if none), and the candidates tried.");
}

// The tools' encoder, with its read-back check.
void add_encoding(py::module_& m) {
    m.def("encode_animation", &encoded_animation, py::arg("head"), py::arg("frames"), py::kw_only(),
          py::arg("check") = false,
          "The bytes of an animation file, every field written as given: head is a dict (has_header, reserved "
          "(4 bytes), flag, speed, path_length, path_field (bytes), frame_count, trailing (bytes)); each frame a "
          "dict (frame_size, height_word, width, x_offset, y_offset, unk1, unk2, rows), rows a list of "
          "(block_count, [(offset, color_count, indices bytes), ...]). The indices of runs in a frame whose "
          "height word has bit 15 set are not written. Nothing is counted or checked against what it counts, unless "
          "check=True: then the bytes are read back by the file reader (the palette search aside). Returns (bytes, "
          "difference): difference is None when the records read back as given, else (field, frame or None, detail) "
          "naming the record's field (speed, has_header, path_length, frame_count, rows, block_count).");
}

}  // namespace

PYBIND11_MODULE(_native, m) {
    m.doc() = "The load report of animation files, for orvtool";
    // The version of the build, which pyorv's must be.
    m.attr("__version__") = ORV_MACRO_STRINGIFY(ORV_VERSION);

    py::list names;
    for (std::size_t c = 0; c < kCategoryCount; ++c) names.append(category_name(static_cast<Category>(c)));
    m.attr("CATEGORIES") = py::tuple(names);

    add_loading(m);
    add_placing(m);
    add_frame_stream(m);
    add_palette_search(m);
    add_encoding(m);
    add_export_frame(m);
}

// --- the export's view of one frame -------------------------------------------

namespace {

py::dict export_frame(const FrameRecords& frames, py::ssize_t index, std::size_t entries) {
    const std::size_t i = FrameRecords::item_index(index, frames.size());
    const OrvF& file = frames.file();
    const OrvFrame& frame = *file.data()->frames[i];
    py::dict out;
    out[key("width")] = frame.width;
    out[key("height")] = frame.height;
    out[key("is_shadow")] = frame.is_shadow;
    out[key("x_offset")] = frame.x_offset;
    out[key("y_offset")] = frame.y_offset;
    out[key("frame_size")] = frame.frame_size;
    out[key("unk1")] = frame.unk1;
    out[key("unk2")] = frame.unk2;
    out[key("height_word")] = file.report().frames[i].height_word;
    const IndexLayer layer = index_layer(frame);
    out[key("layer")] = py::bytes(reinterpret_cast<const char*>(layer.grey_alpha.data()), layer.grey_alpha.size());
    out[key("covered")] = layer.covered;
    std::vector<std::size_t> explicit_rows;
    const FrameStatistics stats = frame_statistics(frame, entries, &explicit_rows);
    out[key("beyond")] = stats.past_palette;
    out[key("rows")] = stats.rows;
    out[key("runs")] = stats.runs;
    out[key("empty_runs")] = stats.empty_runs;
    out[key("longest_run")] = stats.longest_run;
    out[key("most_runs_in_a_row")] = stats.most_runs_in_a_row;
    out[key("covered_pixels")] = stats.covered_pixels;
    py::dict rows;
    for (const std::size_t r : explicit_rows) rows[py::int_(r)] = row_tuple(frame.pixel_sets()[r]);
    out[key("explicit_rows")] = rows;
    return out;
}

}  // namespace

void add_export_frame(py::module_& m) {
    m.def("export_frame", &export_frame, py::arg("frames"), py::arg("index"), py::arg("entries"),
          "What an export writes of frame `index` of a load report's frames, as a dict: the frame's fields "
          "(width, height, is_shadow, x_offset, y_offset, frame_size, unk1, unk2, height_word); its index layer "
          "(layer: width * height pairs of index and coverage bytes), the pixels it covers (covered) and those "
          "of them whose index is `entries` or more (beyond, 0 in a shadow frame); counts over its runs (rows, "
          "runs, empty_runs, longest_run, most_runs_in_a_row, covered_pixels); and the rows that are not the "
          "maximal encoding of their pixels or lie past the height (explicit_rows: row number to (block_count, "
          "[(offset, color_count, indices), ...])).");
}
