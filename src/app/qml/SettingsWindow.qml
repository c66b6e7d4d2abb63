import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The settings: monitoring, accessibility, sync and privacy.
StyledWindow {
    id: window

    required property QtObject store

    objectName: "larkpin.settings"
    title: "Larkpin Settings"
    width: 480
    height: 330
    minimumWidth: 480
    maximumWidth: 480
    minimumHeight: 330
    maximumHeight: 330

    component Section: ColumnLayout {
        property alias title: heading.text
        default property alias content: box.data
        spacing: 4
        Layout.fillWidth: true
        Label {
            id: heading
            color: VisualStyle.secondary
            font.pixelSize: VisualStyle.captionSize
            font.bold: true
        }
        Frame {
            Layout.fillWidth: true
            ColumnLayout {
                id: box
                anchors.left: parent.left
                anchors.right: parent.right
                spacing: 6
            }
        }
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 16
        spacing: 10

        Section {
            title: "Monitoring"
            PressableSwitch {
                objectName: "monitoringSwitch"
                text: "Monitor Gmail and suggest fresh codes"
                checked: window.store.isMonitoring
                onToggled: window.store.isMonitoring = checked
            }
        }
        Section {
            title: "Accessibility"
            RowLayout {
                Label { text: "Accessibility"; Layout.fillWidth: true }
                Row {
                    objectName: "accessibilityEnabled"
                    visible: window.store.isAccessibilityEnabled
                    spacing: 4
                    TintedIcon { symbol: "checkmark.circle.fill"; color: VisualStyle.success; anchors.verticalCenter: parent.verticalCenter }
                    Label { text: "Enabled" }
                }
                PressableButton {
                    objectName: "enableButton"
                    text: "Enable…"
                    visible: !window.store.isAccessibilityEnabled
                    onClicked: window.store.askForAccessibility()
                }
            }
        }
        Section {
            title: "Sync"
            RowLayout {
                Label { text: "Status" }
                Label {
                    objectName: "syncSummary"
                    text: window.store.syncSummary
                    color: VisualStyle.secondary
                    horizontalAlignment: Text.AlignRight
                    elide: Text.ElideRight
                    Layout.fillWidth: true
                }
            }
            PressableButton {
                objectName: "refreshButton"
                text: "Refresh Gmail Now"
                icon.source: VisualStyle.iconSource("arrow.clockwise")
                icon.color: palette.buttonText
                onClicked: window.store.refresh()
            }
        }
        Section {
            title: "Privacy"
            Label {
                text: "Codes stay on this computer. Used codes remain available briefly for manual recovery, then expire automatically."
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
        }
        Item { Layout.fillHeight: true }
    }
}
