#include "base/test_point.h"

namespace testpoint {
Hook g_hook;
}
