// The program's compiled-in pictures (resources/tavik.qrc). The resource file lives in a static
// library, so it is registered explicitly before the first picture is loaded.
#pragma once

namespace tavik {

// Registers the pictures once; later calls do nothing.
void ensureResources();

} // namespace tavik
