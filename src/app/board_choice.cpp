#include "board_choice.h"

#include "device/board_connection.h"
#include "device/exchange.h"
#include "ui/prompts.h"

#include <QStringList>

namespace korva {

WindowBoard ChooseWindowBoard(BoardConnection& connection, Prompts& prompts, QString& lastChosen) {
    using Problem = BoardChoice::Problem;
    const BoardChoice choice = connection.choose();
    switch (choice.problem) {
    case Problem::None:
        return {};
    case Problem::Several: {
        QStringList entries;
        int preselected = 0;
        for (const UsbBoard& b : choice.boards) {
            if (QString::fromStdString(BoardIdentity::of(b).key()) == lastChosen)
                preselected = static_cast<int>(entries.size());
            entries << QString::fromStdString(DescribeUsbBoard(b));
        }
        const int picked =
            prompts.choose(nullptr, kProgramTitle,
                           "Several KORVA726EVAL boards are connected. Choose the board this "
                           "window drives (start the program with --device SERIAL to skip "
                           "this question):",
                           entries, preselected);
        if (picked < 0 || picked >= static_cast<int>(choice.boards.size())) return {false, 0};
        const UsbBoard& board = choice.boards[static_cast<std::size_t>(picked)];
        connection.choose(board);
        lastChosen = QString::fromStdString(BoardIdentity::of(board).key());
        return {};
    }
    case Problem::NoMatch:
        prompts.message(nullptr, Prompts::Icon::Critical, kProgramTitle,
                        QString::fromStdString(choice.message));
        return {false, 2};
    case Problem::NoBoard:
    case Problem::NotAccessible:
    case Problem::UsbUnavailable:
        // The window starts without a board: the title says so, the layer's notice tells
        // of a board that may not be opened, and the first exchange says what to do.
        TraceMsg("the window starts without a board: " + choice.message);
        return {};
    }
    return {};
}

} // namespace korva
