#pragma once

#include "platform/SettingsKeys.h"

// Layout rules as pure functions over twips. Up to its design size a window keeps the design
// geometry and clips; beyond it, growing controls follow the excess one for one.
struct TwipsGeometry {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    bool operator==(const TwipsGeometry &) const = default;
};

struct TextViewerLayout {
    TwipsGeometry text1;
    TwipsGeometry command1;
};

// The text viewer, for its outer width and height.
TextViewerLayout textViewerLayout(int outerWidth, int outerHeight);

// A window's design size is its base size and also the placement a first start gives it.
constexpr int TextViewerBaseWidth = int(Settings::TextViewer.width.defaultNumber);
constexpr int TextViewerBaseHeight = int(Settings::TextViewer.height.defaultNumber);

// The main window's controls that follow its size; every other control keeps its design geometry.
struct MainWindowLayout {
    TwipsGeometry text1, text2, text3, text4, text5;
    int line1Right = 0; // the separator's second x coordinate
    TwipsGeometry combo1, command5, command1, command3, command4;
};

// The main window, for its outer width and height.
MainWindowLayout mainWindowLayout(int outerWidth, int outerHeight);

constexpr int MainWindowBaseWidth = int(Settings::MainWindow.width.defaultNumber);
constexpr int MainWindowBaseHeight = int(Settings::MainWindow.height.defaultNumber);
struct RecipientListLayout {
    TwipsGeometry grid; // MSFlexGrid1
    TwipsGeometry command1;
    TwipsGeometry command2;
    TwipsGeometry command4;
    TwipsGeometry command5;
};

// The recipient list window, for its outer width and height.
RecipientListLayout recipientListLayout(int outerWidth, int outerHeight);

constexpr int RecipientListBaseWidth = int(Settings::RecipientList.width.defaultNumber);
constexpr int RecipientListBaseHeight = int(Settings::RecipientList.height.defaultNumber);
