import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// What the dashboard shows while there is no code.
ColumnLayout {
    spacing: 8

    // Filling both ways: a layout is no wider than its widest child lets it be.
    Item { Layout.fillWidth: true; Layout.fillHeight: true }
    TintedIcon {
        symbol: "sparkles.rectangle.stack"
        size: 40
        color: VisualStyle.secondary
        Layout.alignment: Qt.AlignHCenter
    }
    Label {
        objectName: "emptyTitle"
        text: "Waiting for a code"
        font.pixelSize: VisualStyle.titleSize
        font.bold: true
        Layout.alignment: Qt.AlignHCenter
    }
    Label {
        text: "Larkpin will surface new verification codes here."
        color: VisualStyle.secondary
        Layout.alignment: Qt.AlignHCenter
    }
    Item { Layout.fillHeight: true }
}
