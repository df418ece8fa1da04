#include "main/startup.h"

#include "platform/process.h"

namespace kestravo {

void prepare_process() { platform::prepare_process(); }

}  // namespace kestravo
