// A Qt Quick window with a labelled code field and a plain field, driven like FieldVariants.c
// over standard input ("focus ID", "text ID"; "ready PID" once the window is
// active). Qt Quick text fields have no EditableText interface, so filling them takes typed keys.
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSocketNotifier>

#include <iostream>
#include <string>
#include <unistd.h>
#include <utility>

// Each field's description is its ID, so that tests can see which field has the focus.
constexpr const char* window = R"(
import QtQuick
import QtQuick.Controls
ApplicationWindow {
    visible: true; width: 420; height: 160; title: "Qt Quick fields"
    Column {
        anchors.fill: parent; anchors.margins: 12; spacing: 8
        TextField { objectName: "code"; width: 396; focus: true
                    Accessible.name: "Enter the 6-digit verification code"; Accessible.description: "code" }
        TextField { objectName: "name"; width: 396; Accessible.name: "Name"; Accessible.description: "name" }
    }
}
)";

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    QQmlApplicationEngine engine;
    engine.loadData(window);
    if (engine.rootObjects().isEmpty())
        return 1;
    auto* root = qobject_cast<QQuickWindow*>(engine.rootObjects().first());
    QObject::connect(root, &QWindow::activeChanged, [&, announced = false]() mutable {
        if (root->isActive() && !std::exchange(announced, true))
            std::cout << "ready " << ::getpid() << std::endl;
    });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    std::string pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char chunk[1024];
        const ssize_t count = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (count <= 0)
            return application.quit();
        pending.append(chunk, static_cast<std::size_t>(count));
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            const QString line = QString::fromStdString(pending.substr(0, end));
            pending.erase(0, end + 1);
            const QString command = line.section(' ', 0, 0), id = line.section(' ', 1, 1);
            auto* field = root->findChild<QQuickItem*>(id);
            if (field && command == "focus") {
                root->requestActivate();
                field->forceActiveFocus();
            } else if (!field || command != "text") {
                std::cout << "error unknown command or field: " << line.toStdString() << std::endl;
                continue;
            }
            std::cout << (command == "focus" ? "focused " : command + " ").toStdString() << id.toStdString()
                      << (command == "text" ? " " + field->property("text").toString().toStdString() : "")
                      << std::endl;
        }
    });
    return application.exec();
}
