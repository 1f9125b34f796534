#include "quill/front_core.h"
#include "quill/bundle.h"
#include "quill/time_scale.h"
