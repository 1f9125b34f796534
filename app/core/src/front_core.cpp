#include "quill/front_core.h"
