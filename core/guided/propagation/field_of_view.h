#pragma once
/// Whether a grid point's subset, moved by a warp, still lies in the part of the deformed
/// frame that can be measured: inside the image, on finite pixels.

#include "guided/frame/deformed_frame.h"
#include "guided/reference/reference_data.h"
#include "guided/solve/warp.h"

namespace morvex::dic::detail {

/// Share, in [0, 1], of the specimen pixels of grid point `index`'s subset that `warp` puts
/// outside the deformed image or on a non-finite pixel of it. First-order: the warp's u, v and
/// gradients. Never throws, never allocates; safe from many threads.
double share_out_of_view(const ReferenceImage::Data& reference, const DeformedFrame& frame,
                         int index, const Warp& warp);

/// share_out_of_view(...) > kLeftViewShare (a point that has left the field of view).
bool left_view(const ReferenceImage::Data& reference, const DeformedFrame& frame, int index,
               const Warp& warp);

}  // namespace morvex::dic::detail
