import QtQuick
import QtQuick.Controls

// The time a code stays valid, counting down once per second; orange in its last minute.
Rectangle {
    id: countdown

    required property date expiresAt
    readonly property bool isUrgent: expiresAt.getTime() - VisualStyle.now.getTime() <= 60000
    readonly property color tone: isUrgent ? VisualStyle.countdownWarning : VisualStyle.secondary
    readonly property string text: VisualStyle.timerText(expiresAt, VisualStyle.now)

    implicitWidth: row.implicitWidth + 14
    implicitHeight: row.implicitHeight + 6
    radius: height / 2
    color: VisualStyle.quaternary

    Accessible.role: Accessible.StaticText
    Accessible.name: "Time remaining"
    Accessible.description: text

    Row {
        id: row
        anchors.centerIn: parent
        spacing: 3
        TintedIcon {
            symbol: "timer"
            size: 11
            color: countdown.tone
            anchors.verticalCenter: parent.verticalCenter
        }
        Label {
            objectName: "countdownText"
            Accessible.ignored: true // read through the countdown as one element
            text: countdown.text
            color: countdown.tone
            font.pixelSize: VisualStyle.captionSize
            font.weight: Font.Medium
        }
    }
}
