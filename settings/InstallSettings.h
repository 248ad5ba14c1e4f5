// InstallSettings: where the product is installed and what it is called, read from the preference store.
#pragma once

#include <quillet/NonCopyable.h>

#include <memory>
#include <string>

namespace Quillet {

class ProductProfile;

/// The process-wide installation settings. Every question reads the preference
/// store again, so a changed store takes effect at the next job; a missing store
/// or value gives the product's defaults. Nothing here throws or reports.
/// Used on the thread that starts jobs.
class InstallSettings : private NonCopyable {
public:
    /// The one object of the process, created on first use.
    static InstallSettings& Instance();

    /// The virtual print queue's name; "QV Page Glance" by default.
    std::wstring GetQueueName() const;
    /// The install directory (holds the Ghostscript tree); "." when the store
    /// lacks it, empty without a store.
    std::wstring GetInstallDir() const;
    /// The job-server executable's full path; its folder is the Ghostscript
    /// root. Empty without a store.
    std::wstring GetExePath() const;
    /// The preview application's full path. Empty without a store.
    std::wstring GetPreviewPath() const;
    /// The system's fonts folder, or empty. Reads no setting.
    std::wstring GetFontsFolder() const;

    ~InstallSettings();

private:
    InstallSettings();

    std::unique_ptr<ProductProfile> profile;
};

}  // namespace Quillet
