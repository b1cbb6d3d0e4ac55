#include "app/resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE names a function of the global namespace.
static void registerTavikResources() { Q_INIT_RESOURCE(tavik); }

namespace tavik {

void ensureResources()
{
    static const bool done = [] {
        registerTavikResources();
        return true;
    }();
    (void)done;
}

} // namespace tavik
