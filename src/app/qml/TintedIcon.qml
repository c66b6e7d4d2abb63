import QtQuick
import QtQuick.Controls.impl

// One of Larkpin's icons, drawn in a single colour.
IconImage {
    property string symbol
    property int size: 16

    source: symbol ? VisualStyle.iconSource(symbol) : ""
    sourceSize: Qt.size(size, size)
    width: size
    height: size
    color: VisualStyle.primary
}
