// The core rules ask their questions through small interfaces of their own (UserQuestions,
// FolderQuestions); these adapters answer them with the program's UserInteraction.
#pragma once

#include "profile/user_registry.h"
#include "store/folder_tree.h"
#include "window_common/user_interaction.h"

namespace tavik {

// The user registry's questions: the password dialog and a Yes/No box titled "Tavik mail".
class InteractionUserQuestions : public UserQuestions {
public:
    std::optional<std::string> askPassword(const std::string& userName) override
    {
        return userInteraction().askPassword(userName);
    }
    bool askYesNo(const std::string& question) override
    {
        return userInteraction().askYesNo(kUserMessageTitle, question);
    }
};

// The folder commands' questions: the "Name of the Item" dialog and Yes/No boxes.
class InteractionFolderQuestions : public FolderQuestions {
public:
    bool askItemName(std::string& name) override
    {
        std::optional<std::string> typed = userInteraction().askText(kItemNameTitle, kItemNamePrompt);
        if (!typed)
            return false;
        name = *typed;
        return true;
    }
    bool askYesNo(const std::string& question, const std::string& title) override
    {
        return userInteraction().askYesNo(title, question);
    }
};

} // namespace tavik
