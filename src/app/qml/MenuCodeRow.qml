import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// One fresh code in the tray panel: sender, value, countdown, Used and Copy.
RowLayout {
    id: row

    required property QtObject store
    required property string codeID
    required property string value
    required property string issuer
    required property string accountEmail
    required property date expiresAt

    objectName: "menuCodeRow"
    spacing: 8

    ColumnLayout {
        spacing: 2
        Layout.topMargin: 7
        Layout.bottomMargin: 7
        Layout.fillWidth: true
        Label {
            objectName: "codeSource"
            text: row.issuer + " \u00b7 " + row.accountEmail
            color: VisualStyle.secondary
            font.pixelSize: VisualStyle.captionSize
            elide: Text.ElideRight
            Layout.fillWidth: true
        }
        RowLayout {
            spacing: 8
            Label {
                objectName: "codeValue"
                text: row.value
                font.pixelSize: VisualStyle.title3Size
                font.bold: true
                font.letterSpacing: 2
            }
            Countdown { expiresAt: row.expiresAt }
        }
    }
    IconButton {
        objectName: "usedButton"
        text: "Used"
        icon.source: VisualStyle.iconSource("checkmark")
        ToolTip.text: "Mark used"
        onClicked: row.store.setCodeUsed(row.codeID, true, "Marked code used")
    }
    ProminentButton {
        objectName: "copyButton"
        text: "Copy"
        icon.source: VisualStyle.iconSource("doc.on.doc")
        onClicked: row.store.copyCode(row.codeID)
    }
}
