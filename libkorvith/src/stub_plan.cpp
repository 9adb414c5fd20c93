// Placeholder definition, replaced by the XQuery unit of the engine.
#include "korvith/engine.h"

extern "C" {
}
