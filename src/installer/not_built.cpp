// Stages whose subsystems are not in this build yet. Each reports that with a
// protocol line of kind 26 and fails; none pretends to succeed.
#include "installer/form1.h"

