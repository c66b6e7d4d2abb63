import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// About Larkpin: name, version and the notices of the open-source software it ships with.
StyledWindow {
    id: window

    required property string credits
    required property string version

    objectName: "larkpin.about"
    title: "About Larkpin"
    width: 420
    height: 420
    minimumWidth: 360
    minimumHeight: 320

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 16
        spacing: 8

        TintedIcon { symbol: "square.grid.3x2.fill"; size: 48; color: VisualStyle.tint; Layout.alignment: Qt.AlignHCenter }
        Label { text: "Larkpin"; font.pixelSize: VisualStyle.titleSize; font.bold: true; Layout.alignment: Qt.AlignHCenter }
        Label { objectName: "version"; text: "Version " + window.version; color: VisualStyle.secondary; Layout.alignment: Qt.AlignHCenter }
        ScrollView {
            Layout.fillWidth: true
            Layout.fillHeight: true
            TextArea {
                objectName: "credits"
                text: window.credits
                readOnly: true
                wrapMode: Text.Wrap
                textFormat: TextEdit.PlainText
            }
        }
    }
}
