// The skin's compiled-in resources: the built-in skin document and its PNG pictures. Resources in a
// static library must be registered explicitly; this does it once. GUI thread only.
#pragma once

#include <QByteArray>

namespace tessali::skin {

void EnsureSkinResources();
// The bytes of the built-in skin document (empty when the resource is missing).
QByteArray BuiltinSkinBytes();

}  // namespace tessali::skin
