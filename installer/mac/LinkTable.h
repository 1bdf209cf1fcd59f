#pragma once
// The symbolic links of the client bundle that extraction turns into plain files and
// the post-install repair makes again, in repair order: each framework's
// "Versions/Current" comes before the links that resolve through it.
#include <cstddef>

namespace varnesk {

struct LinkRow {
  const char* directory;  // relative to the bundle, no leading or trailing "/"
  const char* target;     // stored verbatim in the link
  const char* linkName;
};

constexpr LinkRow kBundleLinks[] = {
    {"Contents/Frameworks/Growl.framework/Versions", "A", "Current"},
    {"Contents/Frameworks/Growl.framework", "Versions/Current/Growl", "Growl"},
    {"Contents/Frameworks/Growl.framework", "Versions/Current/Headers", "Headers"},
    {"Contents/Frameworks/Growl.framework", "Versions/Current/Resources", "Resources"},
    {"Contents/Frameworks/QtConcurrent.framework/Versions", "5", "Current"},
    {"Contents/Frameworks/QtConcurrent.framework", "Versions/Current/QtConcurrent", "QtConcurrent"},
    {"Contents/Frameworks/QtConcurrent.framework", "Versions/Current/Resources", "Resources"},
    {"Contents/Frameworks/QtCore.framework/Versions", "5", "Current"},
    {"Contents/Frameworks/QtCore.framework", "Versions/Current/QtCore", "QtCore"},
    {"Contents/Frameworks/QtCore.framework", "Versions/Current/Resources", "Resources"},
    {"Contents/Frameworks/QtGui.framework/Versions", "5", "Current"},
    {"Contents/Frameworks/QtGui.framework", "Versions/Current/QtGui", "QtGui"},
    {"Contents/Frameworks/QtGui.framework", "Versions/Current/Resources", "Resources"},
    {"Contents/Frameworks/QtNetwork.framework/Versions", "5", "Current"},
    {"Contents/Frameworks/QtNetwork.framework", "Versions/Current/QtNetwork", "QtNetwork"},
    {"Contents/Frameworks/QtNetwork.framework", "Versions/Current/Resources", "Resources"},
    {"Contents/Frameworks/QtPrintSupport.framework/Versions", "5", "Current"},
    {"Contents/Frameworks/QtPrintSupport.framework", "Versions/Current/QtPrintSupport",
     "QtPrintSupport"},
    {"Contents/Frameworks/QtPrintSupport.framework", "Versions/Current/Resources", "Resources"},
    {"Contents/Frameworks/QtQml.framework/Versions", "5", "Current"},
    {"Contents/Frameworks/QtQml.framework", "Versions/Current/QtQml", "QtQml"},
    {"Contents/Frameworks/QtQml.framework", "Versions/Current/Resources", "Resources"},
    {"Contents/Frameworks/QtQuick.framework/Versions", "5", "Current"},
    {"Contents/Frameworks/QtQuick.framework", "Versions/Current/QtQuick", "QtQuick"},
    {"Contents/Frameworks/QtQuick.framework", "Versions/Current/Resources", "Resources"},
    {"Contents/Frameworks/QtSvg.framework/Versions", "5", "Current"},
    {"Contents/Frameworks/QtSvg.framework", "Versions/Current/QtSvg", "QtSvg"},
    {"Contents/Frameworks/QtSvg.framework", "Versions/Current/Resources", "Resources"},
    {"Contents/Frameworks/QtWidgets.framework/Versions", "5", "Current"},
    {"Contents/Frameworks/QtWidgets.framework", "Versions/Current/QtWidgets", "QtWidgets"},
    {"Contents/Frameworks/QtWidgets.framework", "Versions/Current/Resources", "Resources"},
    {"Contents/Resources/qml/Qt/labs/folderlistmodel",
     "../../../../../PlugIns/quick/libqmlfolderlistmodelplugin.dylib",
     "libqmlfolderlistmodelplugin.dylib"},
    {"Contents/Resources/qml/Qt/labs/settings",
     "../../../../../PlugIns/quick/libqmlsettingsplugin.dylib", "libqmlsettingsplugin.dylib"},
    {"Contents/Resources/qml/QtGraphicalEffects/private",
     "../../../../PlugIns/quick/libqtgraphicaleffectsprivate.dylib",
     "libqtgraphicaleffectsprivate.dylib"},
    {"Contents/Resources/qml/QtGraphicalEffects",
     "../../../PlugIns/quick/libqtgraphicaleffectsplugin.dylib",
     "libqtgraphicaleffectsplugin.dylib"},
    {"Contents/Resources/qml/QtQml/Models.2", "../../../../PlugIns/quick/libmodelsplugin.dylib",
     "libmodelsplugin.dylib"},
    {"Contents/Resources/qml/QtQuick/Controls",
     "../../../../PlugIns/quick/libqtquickcontrolsplugin.dylib", "libqtquickcontrolsplugin.dylib"},
    {"Contents/Resources/qml/QtQuick/Controls/Styles/Flat",
     "../../../../../../PlugIns/quick/libqtquickextrasflatplugin.dylib",
     "libqtquickextrasflatplugin.dylib"},
    {"Contents/Resources/qml/QtQuick/Dialogs", "../../../../PlugIns/quick/libdialogplugin.dylib",
     "libdialogplugin.dylib"},
    {"Contents/Resources/qml/QtQuick/Dialogs/Private",
     "../../../../../PlugIns/quick/libdialogsprivateplugin.dylib",
     "libdialogsprivateplugin.dylib"},
    {"Contents/Resources/qml/QtQuick/Layouts",
     "../../../../PlugIns/quick/libqquicklayoutsplugin.dylib", "libqquicklayoutsplugin.dylib"},
    {"Contents/Resources/qml/QtQuick/PrivateWidgets",
     "../../../../PlugIns/quick/libwidgetsplugin.dylib", "libwidgetsplugin.dylib"},
    {"Contents/Resources/qml/QtQuick/Window.2", "../../../../PlugIns/quick/libwindowplugin.dylib",
     "libwindowplugin.dylib"},
    {"Contents/Resources/qml/QtQuick.2", "../../../PlugIns/quick/libqtquick2plugin.dylib",
     "libqtquick2plugin.dylib"},
};

constexpr std::size_t kBundleLinkCount = sizeof kBundleLinks / sizeof kBundleLinks[0];
static_assert(kBundleLinkCount == 44, "the bundle has 44 repaired links");

}  // namespace varnesk
