#pragma once

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

constexpr int TextViewerBaseWidth = 8370;
constexpr int TextViewerBaseHeight = 3975;

struct RecipientListLayout {
    TwipsGeometry grid; // MSFlexGrid1
    TwipsGeometry command1;
    TwipsGeometry command2;
    TwipsGeometry command4;
    TwipsGeometry command5;
};

// The recipient list window, for its outer width and height.
RecipientListLayout recipientListLayout(int outerWidth, int outerHeight);

constexpr int RecipientListBaseWidth = 7215;
constexpr int RecipientListBaseHeight = 5070;
