// The program's compiled-in pictures (resources/tavik.qrc). The resource file lives in a static
// library, so it is registered explicitly before the first picture is loaded.
#pragma once

#include <QIcon>
#include <string>

namespace tavik {

// Registers the pictures once; later calls do nothing.
void ensureResources();

// One of the program's pictures by its resource name ("MIME_IMAGE", "TOOL_COMPOSE"); empty for
// an empty name. Registers the pictures first.
QIcon resourcePicture(const std::string& name);

// The picture of a MIME type: its major type's picture, empty for any other major type.
QIcon mimeTypePicture(const std::string& type);

} // namespace tavik
