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

namespace py = pybind11;
using namespace orv;

PYBIND11_MODULE(pyorv, m) {
    m.doc() = "Quarro animation graphics parser for Python";
    m.attr("__version__") = "0.8.0";

    py::class_<OrvInfo>(m, "OrvInfo")
        .def_readwrite("speed", &OrvInfo::speed)
        .def_readwrite("frame_count", &OrvInfo::frame_count);

    py::class_<OrvData, std::shared_ptr<OrvData>>(m, "OrvData")
        .def_readonly("info", &OrvData::info)
        .def_readonly("frames", &OrvData::frames)
        .def_readonly("palette", &OrvData::palette)
        .def_readwrite("has_background", &OrvData::has_background);

    // Frames are co-owned by the Python objects that stand for them, so that
    // one read before a later load stays valid.
    py::class_<OrvFrame, std::shared_ptr<OrvFrame>>(m, "OrvFrame")
        .def_readwrite("frame_size", &OrvFrame::frame_size)
        .def_readwrite("height", &OrvFrame::height)
        .def_readwrite("is_shadow", &OrvFrame::is_shadow)
        .def_readwrite("width", &OrvFrame::width)
        .def_readwrite("y_offset", &OrvFrame::y_offset)
        .def_readwrite("x_offset", &OrvFrame::x_offset)
        .def_readwrite("unk1", &OrvFrame::unk1)
        .def_readwrite("unk2", &OrvFrame::unk2)
        .def_property_readonly(
            "pixel_sets", [](OrvFrame& frame) -> std::vector<OrvPixelSet>& { return frame.pixel_sets(); },
            py::return_value_policy::reference_internal);

    py::class_<OrvPixelSet>(m, "OrvPixelSet")
        .def_readwrite("block_count", &OrvPixelSet::block_count)
        .def_readonly("blocks", &OrvPixelSet::blocks);

    py::class_<OrvPixelBlock>(m, "OrvPixelBlock")
        .def_readwrite("offset", &OrvPixelBlock::offset)
        .def_readwrite("color_count", &OrvPixelBlock::color_count)
        .def_property_readonly("colors", [](const OrvPixelBlock& block) {
            return std::vector<std::uint8_t>(block.colors.begin(), block.colors.end());
        });

    py::class_<OrvFrameBufferObject>(m, "OrvFrameBufferObject")
        .def_property_readonly("pixels",
                               [](const OrvFrameBufferObject& image) {
                                   return py::bytes(reinterpret_cast<const char*>(image.pixels.data()),
                                                    image.pixels.size());
                               })
        .def_readonly("width", &OrvFrameBufferObject::width)
        .def_readonly("height", &OrvFrameBufferObject::height)
        .def_readonly("offset_x", &OrvFrameBufferObject::offset_x)
        .def_readonly("offset_y", &OrvFrameBufferObject::offset_y)
        .def_readonly("channels", &OrvFrameBufferObject::channels);

    py::class_<OrvFrameBuffer>(m, "OrvFrameBuffer")
        .def(py::init([](const OrvData& data) { return std::make_unique<OrvFrameBuffer>(data, error_printer()); }))
        .def("get_buffer", &OrvFrameBuffer::get_buffer);

    py::class_<PalF::Color>(m, "PalFColor")
        .def_readonly("r", &PalF::Color::r)
        .def_readonly("g", &PalF::Color::g)
        .def_readonly("b", &PalF::Color::b)
        .def_readonly("a", &PalF::Color::a);

    py::class_<PalF, std::shared_ptr<PalF>>(m, "PalF")
        .def(py::init<>())
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

    py::class_<OrvF>(m, "OrvF")
        .def(py::init<>())
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
