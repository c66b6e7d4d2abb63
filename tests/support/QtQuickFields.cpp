// A Qt Quick window with a labelled code field and a plain field, driven like FieldVariants.c
// over standard input ("focus ID", "text ID", "set ID TEXT"; "ready PID" once the window is
// active). Qt Quick text fields have no EditableText interface, so filling them takes typed keys.
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSocketNotifier>

#include <cstdio>
#include <iostream>
#include <string>
#include <unistd.h>

namespace {

// Each field's description is its ID, so that tests can see which field has the focus.
constexpr const char* window = R"(
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

ApplicationWindow {
    visible: true
    width: 420
    height: 160
    title: "Qt Quick fields"
    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 12
        TextField {
            objectName: "code"
            Layout.fillWidth: true
            focus: true
            Accessible.name: "Enter the 6-digit verification code"
            Accessible.description: "code"
        }
        TextField {
            objectName: "name"
            Layout.fillWidth: true
            Accessible.name: "Name"
            Accessible.description: "name"
        }
    }
}
)";

void reply(const std::string& line) {
    std::cout << line << std::endl;
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    QQmlApplicationEngine engine;
    engine.loadData(window);
    if (engine.rootObjects().isEmpty())
        return 1;
    auto* root = qobject_cast<QQuickWindow*>(engine.rootObjects().first());

    bool announced = false;
    QObject::connect(root, &QWindow::activeChanged, [&] {
        if (root->isActive() && !announced) {
            announced = true;
            reply("ready " + std::to_string(::getpid()));
        }
    });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    std::string pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char chunk[1024];
        const ssize_t count = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (count <= 0) {
            application.quit();
            return;
        }
        pending.append(chunk, static_cast<std::size_t>(count));
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            const QString line = QString::fromStdString(pending.substr(0, end));
            pending.erase(0, end + 1);
            const QStringList words = line.split(' ');
            auto* field = words.size() > 1 ? root->findChild<QQuickItem*>(words[1]) : nullptr;
            if (!field) {
                reply("error unknown command or field: " + line.toStdString());
            } else if (words[0] == "focus") {
                root->requestActivate();
                field->forceActiveFocus();
                reply("focused " + words[1].toStdString());
            } else if (words[0] == "text") {
                reply("text " + words[1].toStdString() + " " +
                      field->property("text").toString().toStdString());
            } else if (words[0] == "set") {
                field->setProperty("text", line.section(' ', 2));
                reply("set " + words[1].toStdString());
            } else {
                reply("error unknown command: " + line.toStdString());
            }
        }
    });
    return application.exec();
}
