// The icon, a Qt resource compiled into this static library.
#include <QtCore/qglobal.h>

#include "faltrix/resources/layouts.h"

// Q_INIT_RESOURCE must be used outside any namespace.
static void InitFaltrixResource() { Q_INIT_RESOURCE(faltrix); }

namespace faltrix {

void InitResources() { InitFaltrixResource(); }

}  // namespace faltrix
