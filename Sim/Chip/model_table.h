// The chip's models by address: one slot per block of the layout (soc::kBlocks), filled by the models
// themselves as they are built, so that the layout table is the only list of blocks and the chip's
// members are the only list of models. A chip member declared as Mapped<Model> takes its slot when it is
// constructed; a block left without a model, a model outside the layout or two models on one block stop
// the chip's construction. Every model has a reset (Peripheral::reset, pure virtual: a model without one
// does not compile), and the machine's reset walks this table.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "peripheral.h"
#include "soc_layout.h"

namespace sim {

class ModelTable {
public:
    // `model` in its block's slot (found by its base address).
    void add(Peripheral& model)
    {
        for (size_t i = 0; i < soc::kBlocks.size(); ++i) {
            if (soc::kBlocks[i]->base != model.base()) continue;
            if (models_[i] != nullptr) throw std::logic_error("two models on block " + model.name());
            models_[i] = &model;
            return;
        }
        throw std::logic_error("model " + model.name() + " is on no block of the chip's layout");
    }
    // Once every model has been built.
    void check_complete() const
    {
        for (size_t i = 0; i < soc::kBlocks.size(); ++i)
            if (models_[i] == nullptr)
                throw std::logic_error("block " + std::string(soc::kBlocks[i]->name) + " has no model");
    }

    // Every model back to its reset state, a system reset or a power-on: in the layout's reverse order,
    // the peripherals before the clock controller, so that none of them sees the clocks change under a
    // configuration about to go (TIM2's PWM would show a waveform at 16 MHz for an instant).
    void reset_all(bool power_on)
    {
        for (auto it = models_.rbegin(); it != models_.rend(); ++it)
            power_on ? (*it)->power_on_reset() : (*it)->reset();
    }

    // The model whose block holds `address`, or nullptr; looked up in the layout's order (the most used
    // first), after the last one found.
    Peripheral* find(uint32_t address)
    {
        if (last_hit_ && address - last_hit_->base() < last_hit_->size()) return last_hit_;
        for (Peripheral* model : models_) {
            if (address - model->base() < model->size()) {
                last_hit_ = model;
                return model;
            }
        }
        return nullptr;
    }

private:
    std::array<Peripheral*, soc::kBlocks.size()> models_{};
    Peripheral* last_hit_ = nullptr;
};

// A model of type M that enters itself in `table` once built: the chip's members are declared so.
template <class M>
class Mapped final : public M {
public:
    template <class... Args>
    explicit Mapped(ModelTable& table, Args&&... args) : M(std::forward<Args>(args)...)
    {
        table.add(*this);
    }
};

}  // namespace sim
