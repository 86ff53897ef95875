// A local date and time as the protocol and the journal write it.
#pragma once

namespace os {

struct LocalTime {
  int year, month, day, hour, minute, second, millisecond;
};

}  // namespace os
