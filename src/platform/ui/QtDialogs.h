#pragma once

#include "platform/UserDialogs.h"

// The real message boxes and file dialogs.
class QtDialogs : public UserDialogs
{
  public:
    Answer messageBox(QWidget *owner, const Message &message) override;
    QString openFileName(QWidget *owner, const FileRequest &request) override;
    QString saveFileName(QWidget *owner, const FileRequest &request) override;
    bool chooseFont(QWidget *owner, FontChoice &font) override;
};
