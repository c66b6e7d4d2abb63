import QtQuick
import QtQuick.Controls.impl

// One of Larkpin's icons, drawn in a single colour.
IconImage {
    property string name
    property int size: 16

    source: name ? VisualStyle.iconSource(name) : ""
    sourceSize: Qt.size(size, size)
    width: size
    height: size
    color: VisualStyle.primary
}
