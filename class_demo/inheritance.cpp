// inheritance: construction, single and multiple inheritance, a friend function,
// pure virtual dispatch, and the order in which constructors and destructors run.

#include <iostream>
#include <string>

// ---- Person family -------------------------------------------------------------------

class Human {
public:
    Human(std::string name, int age) : name(name), age(age) { std::cout << "ctor Human" << std::endl; }

    std::string getName() const { return name; }
    int gatAge() const { return age; }

protected:
    std::string name;
    int age;
};

class Employee : public Human {
public:
    Employee(std::string name, int age, double wage) : Human(name, age), wage(wage)
    {
        std::cout << "ctor Employee" << std::endl;
    }

    double getWage() const { return wage; }

    void print() const { std::cout << name << " " << age << " " << wage << std::endl; }

    friend void applyTax(Employee &employee);

private:
    double wage;
};

void applyTax(Employee &employee)
{
    employee.wage *= 0.87;
}

// ---- Shape family --------------------------------------------------------------------

class Shape {
public:
    virtual void show() = 0;
};

class Circle : public Shape {
public:
    void show() override { std::cout << "Circle" << std::endl; }
};

// ---- Trace family: every destructor is virtual, so deleting through any base runs the
// whole chain ---------------------------------------------------------------------------

class D {
public:
    D() { std::cout << "D"; }
    virtual ~D() { std::cout << "~D"; }
};

class A : public D {
public:
    A() { std::cout << "A"; }
    ~A() override { std::cout << "~A"; }
};

class C : public D {
public:
    C() { std::cout << "C"; }
    ~C() override { std::cout << "~C"; }
};

// Neither base is virtual, so a B holds two separate D parts.
class B : public A, private C {
public:
    B() { std::cout << "B"; }
    ~B() override { std::cout << "~B"; }
};

// ---- Demonstration -------------------------------------------------------------------

int main()
{
    Employee worker(std::string("Tarn"), 20, 100000);
    applyTax(worker);
    worker.print();

    Shape *shape1 = new Circle;  // lives until the process ends
    shape1->show();

    A *b = new B;
    delete b;
    return 0;
}
