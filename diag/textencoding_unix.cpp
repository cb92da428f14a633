#include "textencoding.h"

// The locale's own codec is kept: it is UTF-8 on current systems, and the user's choice elsewhere.
void useUtf8Text()
{ }
