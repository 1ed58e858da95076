// IEnumVARIANT over a copied array of VARIANTs. Clones share the (read-only)
// items and keep their own position.
#include <memory>
#include <mutex>
#include <vector>

#include "com.h"

namespace {

struct Items {
    std::vector<mv::Variant> values;
};

class EnumVariant : public mv::ComObjectRoot<EnumVariant>, public IEnumVARIANT {
public:
    using InterfaceMap = mv::Interfaces<IEnumVARIANT>;

    void Init(std::shared_ptr<const Items> items, ULONG position) {
        items_ = std::move(items);
        position_ = position;
    }

    HRESULT Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) override {
        if (pCeltFetched) *pCeltFetched = 0;
        if (celt == 0) return S_OK;
        if (!rgVar || (celt > 1 && !pCeltFetched)) return E_POINTER;
        std::lock_guard g(mutex_);
        const ULONG size = static_cast<ULONG>(items_->values.size());
        const ULONG available = position_ < size ? size - position_ : 0;
        const ULONG n = celt < available ? celt : available;
        for (ULONG i = 0; i < n; ++i) {
            VariantInit(&rgVar[i]);
            HRESULT hr = VariantCopy(&rgVar[i], &items_->values[position_ + i]);
            if (FAILED(hr)) {
                for (ULONG k = 0; k < i; ++k) VariantClear(&rgVar[k]);
                return hr;
            }
        }
        position_ += n;
        if (pCeltFetched) *pCeltFetched = n;
        return n == celt ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG celt) override {
        std::lock_guard g(mutex_);
        const ULONG size = static_cast<ULONG>(items_->values.size());
        const ULONG available = position_ < size ? size - position_ : 0;
        if (celt > available) {
            position_ = size;
            return S_FALSE;
        }
        position_ += celt;
        return S_OK;
    }
    HRESULT Reset() override {
        std::lock_guard g(mutex_);
        position_ = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumVARIANT** ppEnum) override {
        if (!ppEnum) return E_POINTER;
        *ppEnum = nullptr;
        std::lock_guard g(mutex_);
        return Make(items_, position_, ppEnum);
    }

    static HRESULT Make(std::shared_ptr<const Items> items, ULONG position, IEnumVARIANT** out) {
        mv::ComObject<EnumVariant>* obj = nullptr;
        HRESULT hr = mv::MakeComObject<EnumVariant>(&obj);
        if (FAILED(hr)) return hr;
        obj->Init(std::move(items), position);
        *out = obj;
        return S_OK;
    }

private:
    std::mutex mutex_;
    std::shared_ptr<const Items> items_;
    ULONG position_ = 0;
};

}  // namespace

namespace mv {

HRESULT CreateEnumVariant(const VARIANT* items, ULONG count, IEnumVARIANT** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (count && !items) return E_INVALIDARG;
    try {
        auto copy = std::make_shared<Items>();
        copy->values.reserve(count);
        for (ULONG i = 0; i < count; ++i) {
            Variant v;
            HRESULT hr = VariantCopy(&v, &items[i]);
            if (FAILED(hr)) return hr;
            copy->values.push_back(std::move(v));
        }
        return EnumVariant::Make(std::move(copy), 0, out);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace mv
