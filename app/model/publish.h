#pragma once
// Assigning a published value of a model object: the change signal is emitted
// only when the value really changed.
template <typename Object, typename T, typename Signal>
void publish(Object* object, T& member, const T& value, Signal signal) {
    if (member == value) return;
    member = value;
    emit(object->*signal)();
}
