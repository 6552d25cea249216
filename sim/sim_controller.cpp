#include "sim/sim_controller.h"

std::unique_ptr<SimController> MakeController(SimFamily family, const SimControllerOptions& options)
{
    return family == SimFamily::kFramed ? MakeFramedController(options) : MakeCommandController(options);
}
