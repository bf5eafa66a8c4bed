#include "sim/LoaderFactory.h"

#include "sim/EraseLoader.h"
#include "sim/IapLoader.h"
#include "sim/WholeFlashLoader.h"

namespace sim {

std::unique_ptr<LoaderModel> MakeLoaderModel(const SimOptions& options, std::string& error)
{
    switch (options.loader) {
    case LoaderKind::Erase:
        return std::make_unique<EraseLoader>();
    case LoaderKind::IapSolvane:
    case LoaderKind::IapTirell: {
        IapLoaderConfig config;
        config.variant = options.loader == LoaderKind::IapTirell ? IapVariant::Tirell : IapVariant::Solvane;
        config.startReply = options.startReply;
        config.ackReply = options.ackReply;
        config.expectedBlocks = options.expectedUnits;
        if (options.hasExpectedImage)
            config.expectedImage = options.expectedImage;
        config.errorBlocks.insert(options.faults.errorBlocks.begin(), options.faults.errorBlocks.end());
        config.restartAfterError = options.faults.restartAfterError;
        config.waitBeforeBlocks.insert(options.waitBeforeBlocks.begin(), options.waitBeforeBlocks.end());
        error = CheckIapConfig(config);
        if (!error.empty())
            return nullptr;
        return std::make_unique<IapLoader>(std::move(config));
    }
    case LoaderKind::WholeFlash: {
        WholeFlashConfig config;
        config.expectedPages = options.expectedUnits;
        config.hasExpectedImage = options.hasExpectedImage;
        if (options.hasExpectedImage)
            config.expectedImage = options.expectedImage;
        for (const RejectRule& rule : options.faults.rejectFrames)
            config.rejectFrames[rule.frame] += rule.times;
        config.eraseAck = options.eraseAck;
        return std::make_unique<WholeFlashLoader>(std::move(config));
    }
    }
    error = "unknown loader";
    return nullptr;
}

}  // namespace sim
