// The describe protocol: every persistent record tells a convertor its table,
// its key and its attributes, and the convertor turns that into storage.
#pragma once

#include <string>

class Describable;

// Visitor that a record's Describe drives. Each pass through Describe makes one
// DescribeClassName call, one DescribeObjectID call and one DescribeAttribute call
// per persistent attribute, always in the same order; the convertor decides, by its
// own mode, what the calls become. Convertors are local objects and are never
// deleted through this class.
class IOConvertor {
public:
    // Starts a pass: the record's table name; parent_name is ignored.
    virtual void DescribeClassName(const std::string& class_name, const std::string& parent_name) = 0;
    // Names the nbrAttributes primary-key columns: the first as attribute_name, the
    // others as further const char* arguments, in key order.
    virtual void DescribeObjectID(int nbrAttributes, const char* attribute_name, ...) {
        (void)nbrAttributes;
        (void)attribute_name;
    }
    // One persistent attribute and its column name. The reading modes assign to it.
    virtual void DescribeAttribute(bool& attribute_value, const std::string& attribute_name, bool notNull = false) = 0;
    virtual void DescribeAttribute(int& attribute_value, const std::string& attribute_name, bool notNull = false) = 0;
    virtual void DescribeAttribute(unsigned int& attribute_value, const std::string& attribute_name, bool notNull = false) = 0;
    virtual void DescribeAttribute(long long& attribute_value, const std::string& attribute_name, bool notNull = false) = 0;
    virtual void DescribeAttribute(float& attribute_value, const std::string& attribute_name, bool notNull = false) = 0;
    virtual void DescribeAttribute(double& attribute_value, const std::string& attribute_name, bool notNull = false) = 0;
    virtual void DescribeAttribute(char& attribute_value, const std::string& attribute_name, bool notNull = false) = 0;
    virtual void DescribeAttribute(std::string& attribute_value, const std::string& attribute_name, bool notNull = false) = 0;
    // Stores obj (insert or update, by obj.mWritten); true on success.
    virtual bool WriteObj(Describable& obj) = 0;
    // Fills obj from the stored row with obj's key; false when there is none.
    virtual bool ReadObj(Describable& obj) = 0;

protected:
    ~IOConvertor() = default;
};

// Base of every persistent record. A record implements Describe and nothing else
// of the protocol. The destructor is virtual so that owners may hold records by
// pointer without caring for the exact type.
class Describable {
public:
    // True when the object is known to have a row: set by an insert and by a read,
    // cleared by a delete. A write inserts when it is false and updates when true.
    // Copies carry it, so writing a copy of a stored object updates the same row.
    bool mWritten = false;

    Describable() = default;
    Describable(const Describable&) = default;
    Describable& operator=(const Describable&) = default;
    virtual ~Describable() = default;

    virtual void Describe(IOConvertor* ioc) = 0;
};
