// A Prompts stand-in for tests: records every message box and answers confirmations and
// file dialogs from queued answers, so that no test waits on a modal window.
#pragma once

#include "ui/prompts.h"

#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <vector>

namespace korva::test {

struct FakePrompts : Prompts {
    struct Message {
        Icon icon;
        QString title;
        QString text;
    };
    std::vector<Message> messages;
    std::vector<QString> confirmations; // texts of the confirm() questions asked
    std::deque<bool> confirmAnswers;    // default answer when empty: OK
    std::deque<QString> fileAnswers;    // default answer when empty: cancel
    std::vector<FileRequest> fileRequests;
    std::function<void()> onMessage;  // runs as each message box shows
    std::vector<QStringList> choices; // the entries of each list shown
    std::deque<int> chooseAnswers;    // default answer when empty: cancel

    void message(QWidget*, Icon icon, const QString& title, const QString& text) override {
        messages.push_back({icon, title, text});
        if (onMessage) onMessage();
    }
    bool confirm(QWidget*, const QString& title, const QString& text) override {
        confirmations.push_back(title + "|" + text);
        return confirmAnswers.empty() || take(confirmAnswers);
    }
    QString saveFileName(QWidget*, const FileRequest& r) override { return nextFile(r); }
    QString openFileName(QWidget*, const FileRequest& r) override { return nextFile(r); }
    int choose(QWidget*, const QString&, const QString&, const QStringList& entries, int) override {
        choices.push_back(entries);
        return chooseAnswers.empty() ? -1 : take(chooseAnswers);
    }

  private:
    template <typename T> static T take(std::deque<T>& answers) {
        T answer = answers.front();
        answers.pop_front();
        return answer;
    }
    QString nextFile(const FileRequest& request) {
        fileRequests.push_back(request);
        return fileAnswers.empty() ? QString() : take(fileAnswers);
    }
};

} // namespace korva::test
