#include "window_common/resources.h"

#include <QtGlobal>

#include "view/mime_manager.h"

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

QIcon resourcePicture(const std::string& name)
{
    if (name.empty())
        return {};
    ensureResources();
    return QIcon(QStringLiteral(":/pictures/") + QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())) +
                 QStringLiteral(".png"));
}

QIcon mimeTypePicture(const std::string& type) { return resourcePicture(mimeIconName(type)); }

} // namespace tavik
