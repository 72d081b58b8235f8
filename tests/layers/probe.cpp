// A source that includes one header (LAYER_PROBE_HEADER) with the include directories of one
// layer: it compiles exactly when that layer may include that header.
#include LAYER_PROBE_HEADER
