// morvel.io.transforms: events to the tensors learning pipelines take, and
// the filters that clean them first. The pieces are in the sources beside
// this one (see transforms.hpp).

#include "transforms.hpp"

namespace {

namespace np = kit::np;

const char* const kModuleDoc =
    "Representations and filters for learning pipelines, in native code.\n\n"
    "Representations (NumPy arrays ready for torch.from_numpy or DLPack, on all\n"
    "cores, the same bit for bit whatever the thread count):\n"
    "- voxel_grid: polarity spread bilinearly over time bins;\n"
    "- time_surface: exp(-(t_ref - t_last) / tau) per pixel;\n"
    "- stacked_histogram: per-polarity counts in slices of a window (uint8);\n"
    "- event_frames: counts per time bin on edges the caller chooses;\n"
    "- count_image: counts per pixel.\n\n"
    "Filters (the kept events in their order, or a boolean mask with mask=True):\n"
    "crop, time_slice, refractory, denoise, drop_pixels, polarity; hot_pixels\n"
    "finds the pixels to drop; downsample and flip change coordinates.\n"
    "Refractory and Denoise filter a stream chunk by chunk with the result of\n"
    "filtering it whole.\n\n"
    "Every function takes EVENT_DTYPE arrays, or any structured array with\n"
    "fields t, x, y, p, converted as astype converts them.\n";

int exec_transforms(PyObject* m) {
    return kit::guard(
        [&] {
            namespace tr = morvel::io::transforms;
            kit::add_typing_names(m, {"Tuple", "Optional"});
            np::add_event_names(m);
            tr::add_representations(m);
            tr::add_filters(m);
            return 0;
        },
        -1);
}

}  // namespace

KIT_MODULE(transforms, "morvel.io.transforms", kModuleDoc, exec_transforms)
