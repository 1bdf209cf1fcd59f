#!/usr/bin/env bash
# Lays out the stand-in client bundle and zips it the way the installer carries it.
#   make_client_bundle.sh CLIENT_EXECUTABLE OUT_DIR ARCHIVE
# OUT_DIR receives "Orvalune Client.app"; ARCHIVE is written with `zip -ry`, so the
# bundle's symbolic links are stored as link entries.
set -euo pipefail
exe=$1 out=$2 archive=$3
bundle="$out/Orvalune Client.app"
rm -rf "$bundle" "$archive"
mkdir -p "$bundle/Contents/MacOS" "$bundle/Contents/Resources" "$bundle/Contents/PlugIns/quick"
cp "$exe" "$bundle/Contents/MacOS/OrvaluneClient"
chmod 0700 "$bundle/Contents/MacOS/OrvaluneClient"

plist() { # plist FILE IDENTIFIER EXECUTABLE
  cat > "$1" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key><string>$2</string>
	<key>CFBundleExecutable</key><string>$3</string>
	<key>CFBundleShortVersionString</key><string>3.5.11296</string>
	<key>CFBundlePackageType</key><string>APPL</string>
</dict>
</plist>
PLIST
}
plist "$bundle/Contents/Info.plist" com.orvalune.client OrvaluneClient

# framework NAME VERSION [headers]: Versions/VERSION holds the library and Resources;
# Versions/Current, the library and Resources are links at the framework's top.
framework() {
  local name=$1 version=$2 fw="$bundle/Contents/Frameworks/$1.framework"
  mkdir -p "$fw/Versions/$version/Resources"
  printf 'placeholder library %s\n' "$name" > "$fw/Versions/$version/$name"
  plist "$fw/Versions/$version/Resources/Info.plist" "org.example.$name" "$name"
  ln -s "$version" "$fw/Versions/Current"
  ln -s "Versions/Current/$name" "$fw/$name"
  ln -s "Versions/Current/Resources" "$fw/Resources"
  if [[ ${3:-} == headers ]]; then
    mkdir -p "$fw/Versions/$version/Headers"
    printf '#pragma once\n' > "$fw/Versions/$version/Headers/$name.h"
    ln -s "Versions/Current/Headers" "$fw/Headers"
  fi
}
framework Growl A headers
for qt in QtConcurrent QtCore QtGui QtNetwork QtPrintSupport QtQml QtQuick QtSvg QtWidgets \
          QtMultimedia QtMultimediaWidgets QtOpenGL QtPositioning; do
  framework "$qt" 5
done

# qml_plugin MODULE_DIR LIBRARY: the module folder links to the library in PlugIns/quick.
qml_plugin() {
  local dir="$bundle/Contents/Resources/qml/$1" up="" rest="Resources/qml/$1"
  mkdir -p "$dir"
  printf 'placeholder plug-in %s\n' "$2" > "$bundle/Contents/PlugIns/quick/$2"
  printf 'module %s\nplugin %s\n' "$1" "$2" > "$dir/qmldir"
  IFS=/ read -ra parts <<< "$rest"
  for _ in "${parts[@]}"; do up+="../"; done
  ln -s "${up}PlugIns/quick/$2" "$dir/$2"
}
qml_plugin Qt/labs/folderlistmodel libqmlfolderlistmodelplugin.dylib
qml_plugin Qt/labs/settings libqmlsettingsplugin.dylib
qml_plugin QtGraphicalEffects/private libqtgraphicaleffectsprivate.dylib
qml_plugin QtGraphicalEffects libqtgraphicaleffectsplugin.dylib
qml_plugin QtQml/Models.2 libmodelsplugin.dylib
qml_plugin QtQuick/Controls libqtquickcontrolsplugin.dylib
qml_plugin QtQuick/Controls/Styles/Flat libqtquickextrasflatplugin.dylib
qml_plugin QtQuick/Dialogs libdialogplugin.dylib
qml_plugin QtQuick/Dialogs/Private libdialogsprivateplugin.dylib
qml_plugin QtQuick/Layouts libqquicklayoutsplugin.dylib
qml_plugin QtQuick/PrivateWidgets libwidgetsplugin.dylib
qml_plugin QtQuick/Window.2 libwindowplugin.dylib
qml_plugin QtQuick.2 libqtquick2plugin.dylib

archive_abs=$(cd "$(dirname "$archive")" && pwd)/$(basename "$archive")
(cd "$out" && zip -qry "$archive_abs" "Orvalune Client.app")
