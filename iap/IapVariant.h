// Which of the two in-application-programming tools a piece of shared code serves.
#pragma once

enum IapVariant {
    VARIANT_SOLVANE,
    VARIANT_TIRELL,
};
