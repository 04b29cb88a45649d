#include <gtest/gtest.h>

#include "monitor/StatusPanel.h"
#include "tests/monitor/Records.h"

namespace ardenvel {
namespace {

using test::padded;
using test::RecordBuilder;

constexpr PanelLabel kPortLabels[] = {PanelLabel::Label19, PanelLabel::Label24, PanelLabel::Label25,
                                      PanelLabel::Label26, PanelLabel::Label27};

// Refreshes in a row, carrying the trackers as the window does.
struct Panel {
    PanelTrackers trackers;
    bool scanCapable = true;
    PanelDecision refresh(const StatusBlock& b, bool force = false) {
        PanelDecision d = DecidePanel(b, trackers, force, scanCapable);
        trackers = d.trackers;
        return d;
    }
};

TEST(StatusPanel, FirstRefreshDrawsBothInitializedPorts) {
    Panel p;
    const PanelDecision d = p.refresh(RecordBuilder().mode(1).ports(0x22));
    const auto& l19 = d.label(PanelLabel::Label19);
    EXPECT_EQ(*l19.text, "P0 is initialized(SATA2)\nSerial# :" + padded("P0SERIAL", 20));
    EXPECT_EQ(*l19.colour, Colour::Black);
    EXPECT_TRUE(*l19.enabled);
    const auto& l25 = d.label(PanelLabel::Label25);
    EXPECT_EQ(*l25.text, "\nCapacity: 931 GB\n" + padded("P0 MODEL", 40));
    EXPECT_EQ(*l25.colour, Colour::Navy);
    EXPECT_EQ(*d.label(PanelLabel::Label24).text,
              "P1 is initialized(SATA3)\nSerial# :" + padded("P1SERIAL", 20));
    EXPECT_EQ(*d.label(PanelLabel::Label26).text, "\nCapacity: 465 GB\n" + padded("P1 MODEL", 40));
    EXPECT_EQ(*d.label(PanelLabel::Label27).text, " Capacity: 931 GB");
    EXPECT_EQ(*d.label(PanelLabel::Label17).text, "Mirror");
    EXPECT_EQ(*d.label(PanelLabel::Label18).text, "Normal");
    EXPECT_EQ(d.p0SerialText, padded("P0SERIAL", 20));
    EXPECT_EQ(d.trackers.shownPortState, 0x22);
    EXPECT_EQ(d.trackers.shownProgress, kNothingShown);
    EXPECT_FALSE(d.button1.shown.has_value());
}

TEST(StatusPanel, UnchangedPortStateLeavesPortLabelsUntilForced) {
    Panel p;
    p.refresh(RecordBuilder());
    const StatusBlock changed =
        RecordBuilder().disk(0, "OTHER", "OTHER MODEL", 123456789).volume(42).mode(3).activity(0x08, 0);
    PanelDecision d = p.refresh(changed);
    for (PanelLabel l : kPortLabels) EXPECT_FALSE(d.label(l).touched()) << static_cast<int>(l);
    EXPECT_FALSE(d.p0SerialText.has_value());
    // What is rewritten on every refresh still follows the record.
    EXPECT_EQ(*d.label(PanelLabel::Label17).text, "JBOD");
    EXPECT_EQ(*d.label(PanelLabel::StaticText7).text, kBadSector);
    EXPECT_EQ(*d.label(PanelLabel::StaticText6).text, "");
    EXPECT_EQ(*d.label(PanelLabel::Label18).text, "Normal");

    d = p.refresh(changed, true);
    EXPECT_EQ(*d.label(PanelLabel::Label19).text,
              "P0 is initialized(SATA2)\nSerial# :" + padded("OTHER", 20));
    EXPECT_EQ(*d.label(PanelLabel::Label27).text, " Capacity: 0 GB");
}

TEST(StatusPanel, AbsentPortGreysOutAndKeepsItsDiskText) {
    Panel p;
    p.refresh(RecordBuilder().ports(0x22));
    const PanelDecision d = p.refresh(RecordBuilder().ports(0x24));
    const auto& l19 = d.label(PanelLabel::Label19);
    const auto& l25 = d.label(PanelLabel::Label25);
    EXPECT_EQ(*l19.text, " P0 is absent ");
    EXPECT_FALSE(*l19.enabled);
    EXPECT_FALSE(*l25.enabled);
    EXPECT_FALSE(l25.text.has_value());
    EXPECT_FALSE(l19.colour.has_value());
    EXPECT_FALSE(l25.colour.has_value());
    EXPECT_FALSE(d.p0SerialText.has_value());
    EXPECT_EQ(*d.label(PanelLabel::Label18).text, "Single HDD\nPresent");
}

TEST(StatusPanel, AbsentWinsOverInitializedOnTheSamePort) {
    Panel p;
    const PanelDecision d = p.refresh(RecordBuilder().ports(0x26));
    EXPECT_EQ(*d.label(PanelLabel::Label19).text, " P0 is absent ");
    EXPECT_EQ(*d.label(PanelLabel::Label18).text, "Normal");  // the volume reads the initialized pair
}

TEST(StatusPanel, VolumeStatesAndTheRarerPortTexts) {
    Panel p;
    PanelDecision d = p.refresh(RecordBuilder().ports(0x00));
    for (PanelLabel l :
         {PanelLabel::Label19, PanelLabel::Label24, PanelLabel::Label25, PanelLabel::Label26}) {
        EXPECT_EQ(*d.label(l).text, "") << static_cast<int>(l);
        EXPECT_FALSE(d.label(l).colour.has_value());
        EXPECT_FALSE(d.label(l).enabled.has_value());
    }
    EXPECT_EQ(*d.label(PanelLabel::Label18).text, "Failure");

    d = p.refresh(RecordBuilder().ports(0x21));
    EXPECT_EQ(*d.label(PanelLabel::Label19).text, " P0 is inserted ");
    EXPECT_FALSE(d.label(PanelLabel::Label19).colour.has_value());
    EXPECT_FALSE(d.label(PanelLabel::Label19).enabled.has_value());
    EXPECT_FALSE(d.label(PanelLabel::Label25).touched());
    EXPECT_EQ(*d.label(PanelLabel::Label18).text, "Single HDD\nPresent");

    d = p.refresh(RecordBuilder().ports(0x82).disk(1, "SMALL", "TINY", 2097152));
    EXPECT_EQ(*d.label(PanelLabel::Label24).text,
              "P1 is failed, Capacity too small.\nSerial# :" + padded("SMALL", 20));
    EXPECT_EQ(*d.label(PanelLabel::Label24).colour, Colour::Red);
    EXPECT_EQ(*d.label(PanelLabel::Label26).colour, Colour::Red);
    EXPECT_EQ(*d.label(PanelLabel::Label26).text, "\nCapacity: 1 GB\n" + padded("TINY", 40));
    EXPECT_EQ(d.p1SerialText, padded("SMALL", 20));

    d = p.refresh(RecordBuilder().ports(0x12));
    EXPECT_EQ(*d.label(PanelLabel::Label24).text, " P1 was inserted ");
}

TEST(StatusPanel, ScanOnAnEnclosureThatCannotScanIsARebuild) {
    Panel p;
    p.scanCapable = false;
    PanelDecision d = p.refresh(RecordBuilder().activity(0x81, 37));
    EXPECT_EQ(*d.label(PanelLabel::Label18).text, "Rebuild\n<- 37% <-");
    EXPECT_FALSE(*d.button3.shown);
    EXPECT_FALSE(*d.button4.shown);
    EXPECT_FALSE(d.button3.caption.has_value());
    EXPECT_TRUE(*d.button1.shown);

    d = p.refresh(RecordBuilder().activity(0x82, 5));
    EXPECT_EQ(*d.label(PanelLabel::Label18).text, "Rebuild\n-> 5% ->");
}

TEST(StatusPanel, ScanProgressIsWrittenOnlyWhenItChanges) {
    Panel p;
    PanelDecision d = p.refresh(RecordBuilder().activity(0x81, 37));
    EXPECT_EQ(*d.label(PanelLabel::Label18).text, "P0 Scan\n37%");
    EXPECT_EQ(*d.button3.caption, "Stop P0 Scan");
    EXPECT_TRUE(*d.button3.shown);
    EXPECT_FALSE(*d.button4.shown);
    EXPECT_EQ(d.trackers.shownProgress, 37);

    for (int i = 0; i < 3; ++i) {
        d = p.refresh(RecordBuilder().activity(0x81, 37));
        EXPECT_FALSE(d.label(PanelLabel::Label18).touched());
        EXPECT_FALSE(d.button3.shown || d.button3.caption);
        EXPECT_FALSE(d.button4.shown || d.button4.caption);
        EXPECT_TRUE(*d.button1.shown);
    }

    d = p.refresh(RecordBuilder().activity(0x82, 38));
    EXPECT_EQ(*d.label(PanelLabel::Label18).text, "P1 Scan\n38%");
    EXPECT_EQ(*d.button4.caption, "Stop P1 Scan");
    EXPECT_FALSE(*d.button3.shown);
}

TEST(StatusPanel, AfterAScanEndsTheNextScanRedrawsAtTheSamePercent) {
    Panel p;
    p.refresh(RecordBuilder().activity(0x81, 99));
    PanelDecision d = p.refresh(RecordBuilder().activity(0x00, 99));
    EXPECT_FALSE(*d.button3.shown);
    EXPECT_FALSE(*d.button4.shown);
    EXPECT_EQ(*d.label(PanelLabel::Label18).text, "Normal");
    EXPECT_EQ(d.trackers.shownProgress, kNothingShown);

    d = p.refresh(RecordBuilder().activity(0x81, 99));
    EXPECT_EQ(*d.label(PanelLabel::Label18).text, "P0 Scan\n99%");
    EXPECT_TRUE(*d.button3.shown);
}

}  // namespace
}  // namespace ardenvel
