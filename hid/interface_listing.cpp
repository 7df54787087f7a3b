#include "interface_listing.h"

namespace quarvo {
namespace {

std::string failed(const InterfaceListing& listing, const ListingAnswer& answer)
{
    std::string text = listing.name + "'s listing failed";
    if (!answer.failure.empty())
        text.append(": ").append(answer.failure);
    return text;
}

} // namespace

ChosenListing chooseListing(const InterfaceListing& preferred, const InterfaceListing& fallback,
                            std::uint16_t vendorId, std::uint16_t productId)
{
    ListingAnswer first = preferred.list(vendorId, productId);
    if (first.listed && !first.interfaces.empty())
        return {std::move(first.interfaces), preferred.name};
    ListingAnswer second = fallback.list(vendorId, productId);
    if (!first.listed && !second.listed)
        return {{}, "none (" + failed(preferred, first) + "; " + failed(fallback, second) + ")"};
    if (!first.listed)
        return {std::move(second.interfaces),
                fallback.name + " (" + failed(preferred, first) + ")"};
    if (second.listed && !second.interfaces.empty())
        return {std::move(second.interfaces),
                fallback.name + " (" + preferred.name + "'s listing found none)"};
    // Neither found any, or the fallback failed: the preferred listing's empty answer stands.
    return {{},
            preferred.name + " (" +
                (second.listed ? fallback.name + "'s listing found none too"
                               : failed(fallback, second)) +
                ")"};
}

} // namespace quarvo
