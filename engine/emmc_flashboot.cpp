// The eMMC operations as members of the module: the station calls EmmcDownloadMBNS on a
// disk-download module, which carries the progress through its callback and status record.
#include "engine/emmc_download.h"
#include "engine/flashboot.h"

int Flashboot::EmmcDownloadMBNS(Flashboot* module, const char* diskPath, const char* folder,
                                XMLDATA* xmlData) {
    ModuleHold self(this);
    if (!self) return EMMC_DOWNLOAD_NO_DISK;
    // The module whose callback and record carry the progress; the station passes this one.
    ModuleHold other(module);
    Flashboot* src = other ? module : this;
    m_pDownload = src->m_pDownload;
    Download* const record = m_pDownload;
    const char* const text_before = record ? record->pText : nullptr;

    // The record belongs to src's station: once src is being deleted it is left alone.
    auto report = [&](int position, const char* status, const char* tag) {
        ReportGate gate(src);
        if (!gate || !record) return;
        record->iProgress = position;
        record->iPortNumber = -1;
        record->pText = tag;
        record->pStatus = status;
        gate.Call(record);
    };
    auto stop = [&] { return m_deleting.load() != 0 || src->m_deleting.load() != 0; };
    const int rc = emmc::Download(diskPath, folder, xmlData, report, stop, Cancel());
    // The disk tag lives only as long as this call: the record must not keep pointing at it.
    if (ReportGate gate(src); gate && record) record->pText = text_before;
    return rc;
}

int Flashboot::For_eMMC_Download_Universal_Interface(tw::Disk* hDevice, const char* fileName,
                                                     uint64_t sector) {
    return emmc::WriteImage(hDevice, fileName, sector);
}

int Flashboot::For_eMMC_Download_Pach_Interface(tw::Disk* hDevice, const char* fileName,
                                                uint64_t sector, uint32_t offsetNum,
                                                uint32_t blockIndex, uint32_t pachValue) {
    return emmc::WritePatch(hDevice, fileName, sector, offsetNum, blockIndex, pachValue);
}
