// morvex._guided.correlate(): one deformed frame against a prepared ReferenceImage, with the
// interpreter lock released while it runs.

#include <optional>

#include <pybind11/stl.h>

#include "convert.hpp"
#include "guided_keywords.hpp"

namespace morvex::python {

void bind_correlate(py::module_& m) {
    m.def(
        "correlate",
        [](const BoundReference& reference, const ImageArray& deformed,
           std::optional<Control*> control,
           std::optional<GuidedDict> previous MORVEX_SOLVER_KEYWORDS(MORVEX_SOLVER_PARAMETER),
           const SeedList& seeds) {
            // The reference settings are the prepared image's own.
            dic::GuidedSolveSettings config;
            apply_solver_settings(config,
                                  SolverSettings{MORVEX_SOLVER_KEYWORDS(MORVEX_SOLVER_VALUE)});
            apply_seeds(config, seeds);
            attach_control(config, control.value_or(nullptr));
            const cv::Mat image = image_from_array(deformed);
            std::optional<dic::GuidedResult> start;
            if (previous) {
                start = guided_from_dict(*previous);
            }
            dic::GuidedResult result;
            {
                py::gil_scoped_release release;
                result = dic::correlate_guided(*reference.image, image, config,
                                               start ? &*start : nullptr);
            }
            return dict_from_guided(result);
        },
        "Measure the displacement field of `deformed` against a prepared reference image. "
        "Besides the grid fields: 'full_searches', the whole-image (search_range) searches "
        "run, seeds only; 'seconds_by_status', seconds of work on the points by final status "
        "(index: STATUSES' codes). `seeds`: explicit seeds, (x, y) or (x, y, u, v) in image "
        "px, the latter started from the displacement (u, v).",
        py::arg("reference"), py::arg("deformed"), py::kw_only(), py::arg("control") = py::none(),
        py::arg("previous") = py::none() MORVEX_SOLVER_KEYWORDS(MORVEX_SOLVER_ARG),
        py::arg("seeds") = py::none());
}

}  // namespace morvex::python
