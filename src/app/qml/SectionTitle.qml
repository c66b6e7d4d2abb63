import QtQuick
import QtQuick.Controls

// A section's title: an optional icon and its text.
Row {
    property alias text: title.text
    property string icon

    spacing: 5
    TintedIcon {
        symbol: parent.icon
        visible: parent.icon !== ""
        color: VisualStyle.secondary
        anchors.verticalCenter: parent.verticalCenter
    }
    Label {
        id: title
        color: VisualStyle.secondary
        font.pixelSize: VisualStyle.captionSize
        font.bold: true
    }
}
