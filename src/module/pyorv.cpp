// Python bindings. Conversion only: every behaviour lives in the core. The
// core reports what it finds to a sink; this module installs the printer,
// which writes the "ERROR: " lines on standard error.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "orvfile/orv_file.hpp"
#include "anim/records.hpp"
#include "common/diagnostics.hpp"
#include "palette/palette.hpp"
#include "render/frame_buffer.hpp"

// The distribution's version, passed in by the build as a bare token.
#define ORV_STRINGIFY(x) #x
#define ORV_MACRO_STRINGIFY(x) ORV_STRINGIFY(x)

namespace py = pybind11;
using namespace orv;

namespace {

using InfoClass = py::class_<OrvInfo>;
using DataClass = py::class_<OrvData, std::shared_ptr<OrvData>>;
// Frames are co-owned by the Python objects that stand for them, so that
// one read before a later load stays valid.
using FrameClass = py::class_<OrvFrame, std::shared_ptr<OrvFrame>>;
using PixelSetClass = py::class_<OrvPixelSet>;
using PixelBlockClass = py::class_<OrvPixelBlock>;
using ImageClass = py::class_<OrvFrameBufferObject>;
using FrameBufferClass = py::class_<OrvFrameBuffer>;
using ColorClass = py::class_<PalF::Color>;
using PaletteClass = py::class_<PalF, std::shared_ptr<PalF>>;
using FileClass = py::class_<OrvF>;

void bind_animation(InfoClass& info, DataClass& data) {
    info.def_readwrite("speed", &OrvInfo::speed).def_readwrite("frame_count", &OrvInfo::frame_count);

    data.def_readonly("info", &OrvData::info)
        .def_readonly("frames", &OrvData::frames)
        .def_readonly("palette", &OrvData::palette)
        .def_readwrite("has_background", &OrvData::has_background);
}

void bind_frame(FrameClass& frame, PixelSetClass& pixel_set, PixelBlockClass& pixel_block) {
    frame.def_readwrite("frame_size", &OrvFrame::frame_size)
        .def_readwrite("height", &OrvFrame::height)
        .def_readwrite("is_shadow", &OrvFrame::is_shadow)
        .def_readwrite("width", &OrvFrame::width)
        .def_readwrite("y_offset", &OrvFrame::y_offset)
        .def_readwrite("x_offset", &OrvFrame::x_offset)
        .def_readwrite("unk1", &OrvFrame::unk1)
        .def_readwrite("unk2", &OrvFrame::unk2)
        // Built as a read-only member binding builds its getter (a method of
        // the class, taking self), over the rows built when first read.
        .def_property_readonly(
            "pixel_sets",
            py::cpp_function([](OrvFrame& self) -> std::vector<OrvPixelSet>& { return self.pixel_sets(); },
                             py::is_method(frame)),
            py::return_value_policy::reference_internal);

    pixel_set.def_readwrite("block_count", &OrvPixelSet::block_count).def_readonly("blocks", &OrvPixelSet::blocks);

    pixel_block.def_readwrite("offset", &OrvPixelBlock::offset)
        .def_readwrite("color_count", &OrvPixelBlock::color_count)
        .def_property_readonly("colors", py::cpp_function(
                                             [](const OrvPixelBlock& block) {
                                                 return std::vector<std::uint8_t>(block.colors.begin(),
                                                                                  block.colors.end());
                                             },
                                             py::is_method(pixel_block)));
}

void bind_images(ImageClass& image, FrameBufferClass& frame_buffer) {
    image
        .def_property_readonly("pixels",
                               [](const OrvFrameBufferObject& frame_image) {
                                   return py::bytes(reinterpret_cast<const char*>(frame_image.pixels.data()),
                                                    frame_image.pixels.size());
                               })
        .def_readonly("width", &OrvFrameBufferObject::width)
        .def_readonly("height", &OrvFrameBufferObject::height)
        .def_readonly("offset_x", &OrvFrameBufferObject::offset_x)
        .def_readonly("offset_y", &OrvFrameBufferObject::offset_y)
        .def_readonly("channels", &OrvFrameBufferObject::channels);

    frame_buffer
        .def(py::init(
            [](const OrvData& animation) { return std::make_unique<OrvFrameBuffer>(animation, error_printer()); }))
        .def("get_buffer", &OrvFrameBuffer::get_buffer);
}

void bind_palette(ColorClass& color, PaletteClass& palette) {
    color.def_readonly("r", &PalF::Color::r)
        .def_readonly("g", &PalF::Color::g)
        .def_readonly("b", &PalF::Color::b)
        .def_readonly("a", &PalF::Color::a);

    palette.def(py::init<>())
        .def("location", py::overload_cast<std::string>(&PalF::location))
        .def("location", py::overload_cast<>(&PalF::location, py::const_))
        .def("location_size", py::overload_cast<std::uint32_t>(&PalF::location_size))
        .def("location_size", py::overload_cast<>(&PalF::location_size, py::const_))
        .def("color_model", py::overload_cast<std::int32_t>(&PalF::color_model))
        .def("color_model", py::overload_cast<>(&PalF::color_model, py::const_))
        .def("colors", py::overload_cast<std::vector<PalF::Color>>(&PalF::colors))
        .def("colors", py::overload_cast<>(&PalF::colors, py::const_))
        .def("get_color", [](const PalF& p, std::int32_t index) { return p.get_color(index, error_printer()); })
        .def("load", [](PalF& p, std::string path) { return p.load(std::move(path), error_printer()); })
        .def("save", [](const PalF& p, std::string path) { p.save(std::move(path), error_printer()); });
}

void bind_file(FileClass& file) {
    // Python is never shown where each frame record lies: a load keeps only
    // the frames.
    file.def(py::init([] {
            auto f = std::make_unique<OrvF>();
            f->keep_frame_extents(false);
            return f;
        }))
        .def(
            "load",
            [](OrvF& f, std::string file_name, std::int32_t color_profile, std::string io_pal) {
                return f.load(std::move(file_name), color_profile, std::move(io_pal), error_printer());
            },
            py::arg("file_name"), py::arg("color_profile") = 0, py::arg("io_pal") = "")
        .def(
            "save",
            [](OrvF& f, std::string file_name, std::string project_root, std::string palette_path) {
                f.save(std::move(file_name), std::move(project_root), std::move(palette_path), error_printer());
            },
            py::arg("file_name"), py::arg("project_root"), py::arg("palette_path"))
        .def("data", &OrvF::data)
        .def("get_frame_buffer", &OrvF::get_frame_buffer);
}

}  // namespace

PYBIND11_MODULE(pyorv, m) {
    m.doc() = "Quarro animation graphics parser for Python";
    m.attr("__version__") = ORV_MACRO_STRINGIFY(ORV_VERSION);

    // Every class is registered before any member is bound, so that a
    // signature names the Python class (pyorv.OrvFrame), never the C++ type.
    InfoClass info(m, "OrvInfo");
    DataClass data(m, "OrvData");
    FrameClass frame(m, "OrvFrame");
    PixelSetClass pixel_set(m, "OrvPixelSet");
    PixelBlockClass pixel_block(m, "OrvPixelBlock");
    ImageClass image(m, "OrvFrameBufferObject");
    FrameBufferClass frame_buffer(m, "OrvFrameBuffer");
    ColorClass color(m, "PalFColor");
    PaletteClass palette(m, "PalF");
    FileClass file(m, "OrvF");

    bind_animation(info, data);
    bind_frame(frame, pixel_set, pixel_block);
    bind_images(image, frame_buffer);
    bind_palette(color, palette);
    bind_file(file);
}
