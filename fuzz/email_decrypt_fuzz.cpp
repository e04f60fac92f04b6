// AesDecrypt on an email object whose bodies and fields come from outside: the message body,
// attachments (one with a nested part) and their "x-original-encoding" fields are hostile.
// Then the merge's other unpacking route: GetAttachmentData(0) must give exactly the bytes the
// one-buffer DecryptSegmentInPlace gives for the same attachment, and the zip inside is read.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "archive/SegmentArchive.h"
#include "archive/SegmentCipher.h"
#include "mail/EmailObject.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dtl;
  FuzzedDataProvider in(data, size);
  const std::string password = in.ConsumeRandomLengthString(24);
  const bool steerPlaintext = in.ConsumeBool();
  const std::string encoding = in.ConsumeRandomLengthString(40);
  std::vector<uint8_t> messageBody =
      in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 256));
  std::vector<uint8_t> nested = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 256));
  std::vector<uint8_t> segment = in.ConsumeRemainingBytes<uint8_t>();
  if (steerPlaintext)
    segment = dtlfuzz::RawAesCbc(
        password.empty() ? kDefaultAesPassword : std::string_view(password), segment);

  EmailObject mail;
  mail.Message().body = messageBody;
  mail.Message().SetHeader("x-original-encoding", encoding);
  mail.AddAttachmentBytes("file.dat.001.doc", "application/msword", segment);
  mail.Attachment(0).SetHeader("x-original-encoding", encoding);
  mail.AddAttachmentBytes("", "", nested);
  MimePart inner;
  inner.body = nested;
  inner.SetHeader("x-original-encoding", encoding);
  mail.Attachment(1).parts.push_back(inner);

  if (!mail.AesDecrypt(password)) std::abort();  // never fails, whatever the bytes
  // The field that carried the old encoding is gone from every decrypted part.
  if (!mail.Attachment(0).GetHeader("x-original-encoding").empty()) std::abort();

  std::vector<uint8_t> viaMail;
  if (!mail.GetAttachmentData(0, viaMail)) std::abort();
  std::vector<uint8_t> inPlace = segment;
  DecryptSegmentInPlace(inPlace, password);
  if (viaMail != inPlace) std::abort();
  std::vector<uint8_t> none;
  if (mail.GetAttachmentData(2, none) || mail.GetAttachmentData(-1, none)) std::abort();

  dtlfuzz::DrainZip(viaMail.data(), viaMail.size(), 4096);

  // A decrypted object rendered again, with the restored (hostile) encodings.
  mail.SetUuidSource([] { return std::string("0f8fad5b-d9cb-469f-a165-70867728950e"); });
  std::string wire;
  mail.Render(wire);
  return 0;
}
