// orvtool's private module: the frames of an animation as numpy arrays that
// share the rendered storage, without the copies that pyorv's surface makes.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "orvfile/orv_file.hpp"
#include "render/frame_buffer.hpp"

namespace py = pybind11;

namespace {

// A read-only (height, width, 4) uint8 array over an image's bytes, which the
// array keeps alive.
py::array image_array(orv::OrvFrameBufferObject& image) {
    const std::vector<py::ssize_t> shape{image.height, image.width, image.channels};
    py::array_t<std::uint8_t> array;
    if (image.pixels.empty()) {
        array = py::array_t<std::uint8_t>(shape);
    } else {
        auto* owned = new orv::PixelBytes(std::move(image.pixels));
        py::capsule base(owned, [](void* p) { delete static_cast<orv::PixelBytes*>(p); });
        array = py::array_t<std::uint8_t>(shape, owned->data(), base);
    }
    py::detail::array_proxy(array.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return std::move(array);
}

}  // namespace

PYBIND11_MODULE(_frames, m) {
    m.doc() = "Rendered frames as numpy arrays without copies (private to orvtool).";
    m.def(
        "load_frames",
        [](std::string file_name, std::string io_pal) -> py::object {
            orv::OrvF file;
            if (!file.load(std::move(file_name), 0, std::move(io_pal))) return py::none();
            std::vector<orv::OrvFrameBufferObject> images = file.take_frame_buffer();
            py::list out(images.size());
            for (std::size_t i = 0; i < images.size(); ++i) {
                orv::OrvFrameBufferObject& image = images[i];
                out[i] = py::make_tuple(image_array(image), image.offset_x, image.offset_y);
            }
            return std::move(out);
        },
        py::arg("file_name"), py::arg("io_pal") = "",
        "Loads an animation as OrvF.load does; returns a list of (pixels, offset_x, offset_y) "
        "per frame, pixels a read-only (height, width, 4) uint8 array sharing the rendered "
        "storage, or None when OrvF.load would return None.");
}
