// Stand-in until the listing lands; delete this file when list_drivers exists.
#include "listing/listing.h"
#include "status/status.h"

namespace kestravo::listing {

void list_drivers(audio::Host&) { status::emit_stdout(status::DriversRecord{}); }

}  // namespace kestravo::listing
