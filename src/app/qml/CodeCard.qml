import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// One code on the dashboard: who sent it, the value, its countdown, Copy and Mark used / unused.
Rectangle {
    id: card

    required property QtObject store
    required property string codeID
    required property string value
    required property string issuer
    required property string accountEmail
    required property date receivedAt
    required property date expiresAt
    required property bool isUsed
    // Transient feedback after Copy; lost when the card is recreated.
    property bool copied: false

    objectName: "codeCard"
    implicitWidth: 300
    implicitHeight: content.implicitHeight + 44
    radius: 18
    color: VisualStyle.material
    border.width: 1
    border.color: isUsed ? Qt.rgba(VisualStyle.secondary.r, VisualStyle.secondary.g, VisualStyle.secondary.b,
                                   VisualStyle.secondary.a * 0.14)
                         : Qt.rgba(VisualStyle.tint.r, VisualStyle.tint.g, VisualStyle.tint.b, 0.24)
    opacity: isUsed ? 0.72 : 1.0

    Timer {
        id: copiedReset
        interval: 1500
        onTriggered: card.copied = false
    }

    ColumnLayout {
        id: content
        anchors.fill: parent
        anchors.margins: 22
        spacing: 10

        RowLayout {
            spacing: 6
            TintedIcon { symbol: "sparkles"; color: VisualStyle.tint }
            Label {
                text: card.issuer
                font.pixelSize: VisualStyle.headlineSize
                font.bold: true
                elide: Text.ElideRight
                Layout.fillWidth: true
            }
            Countdown { expiresAt: card.expiresAt }
        }
        Label {
            objectName: "codeValue"
            text: card.value
            color: card.isUsed ? VisualStyle.secondary : VisualStyle.primary
            font.pixelSize: 34
            font.bold: true
            font.letterSpacing: 4
        }
        RowLayout {
            spacing: 6
            TintedIcon { symbol: "envelope"; color: VisualStyle.secondary }
            Label {
                text: card.accountEmail
                color: VisualStyle.secondary
                elide: Text.ElideRight
                Layout.fillWidth: true
            }
            Label {
                text: VisualStyle.relativeText(card.receivedAt, VisualStyle.now)
                color: VisualStyle.tertiary
                font.pixelSize: VisualStyle.captionSize
            }
        }
        RowLayout {
            spacing: 8
            ProminentButton {
                objectName: "copyButton"
                text: card.copied ? "Copied" : "Copy"
                icon.source: VisualStyle.iconSource(card.copied ? "checkmark" : "doc.on.doc")
                enabled: !card.isUsed
                onClicked: {
                    card.store.copyCode(card.codeID)
                    card.copied = true
                    copiedReset.restart()
                }
            }
            PressableButton {
                objectName: "markButton"
                text: card.isUsed ? "Mark unused" : "Mark used"
                icon.source: VisualStyle.iconSource(card.isUsed ? "arrow.uturn.backward" : "checkmark")
                icon.color: palette.buttonText
                flat: true
                onClicked: card.store.setCodeUsed(card.codeID, !card.isUsed,
                                                  card.isUsed ? "Restored code" : "Marked code used")
            }
            Item { Layout.fillWidth: true }
        }
    }
}
