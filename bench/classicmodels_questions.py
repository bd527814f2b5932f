"""Questions for the question bench about classicmodels, a retailer of
scale models (data/classicmodels): first every question of its public
list, as asked, then everyday ones.

Rows of (database, shape, question, SQL, kind, domain), read by
questions.py like its own tables: the expected answer is what the SQL
returns on the same server.
"""

DB = "classicmodels"
CUSTOMERS = "SELECT customerName FROM customers"
PRODUCTS = "SELECT productName FROM products"
EMPLOYEES = "SELECT CONCAT(firstName, ' ', lastName) FROM employees"
LINES = "SELECT productLine FROM productlines"
ORDERS = "SELECT orderNumber FROM orders"
EMP_NAME = "CONCAT(e.firstName, ' ', e.lastName)"
# An order line is worth the quantity ordered times the price of each.
LINE = "d.quantityOrdered * d.priceEach"
# Some countries and first names carry trailing blanks in the data.
COUNTRY = "TRIM(c.country)"
YES_NO = "SELECT 'yes' UNION SELECT 'no'"


def Q(shape, question, sql, kind, domain=""):
    return (DB, shape, question, sql, kind, domain)


PUBLIC = [
 Q("count", "How many employees are there in the company?", "SELECT COUNT(*) FROM employees", "number"),
 Q("money", "What is the total of payments received?", "SELECT SUM(amount) FROM payments", "number"),
 Q("date", "Report total payments for October 28, 2004.",
   "SELECT SUM(amount) FROM payments WHERE paymentDate = '2004-10-28'", "number"),
 Q("group", "How many products are in each product line?",
   "SELECT productLine, COUNT(*) FROM products GROUP BY productLine", "groups"),
 Q("same column", "Who are the employees in Boston?",
   f"SELECT {EMP_NAME} FROM employees e JOIN offices o ON o.officeCode = e.officeCode WHERE o.city = 'Boston'",
   "list", EMPLOYEES),
 Q("people", "List the contact first name, contact last name and credit limit for all customers whose credit limit "
   "is greater than 50000.",
   "SELECT CONCAT(TRIM(contactFirstName), ' ', contactLastName), creditLimit FROM customers WHERE creditLimit > 50000",
   "rows"),
 Q("top by value", "Get the top 10 customers by credit limit.",
   "SELECT customerName, creditLimit FROM customers WHERE creditLimit >= "
   "(SELECT creditLimit FROM customers ORDER BY creditLimit DESC LIMIT 1 OFFSET 9) ORDER BY creditLimit DESC",
   "rows", CUSTOMERS),
 Q("decline", "What is the distance between the Paris and Boston offices?", "", "decline"),
 Q("group", "What is the number of orders per status?", "SELECT status, COUNT(*) FROM orders GROUP BY status", "groups"),
 Q("role", "Report the name and city of customers who don't have sales representatives.",
   "SELECT customerName, city FROM customers WHERE salesRepEmployeeNumber IS NULL", "rows", CUSTOMERS),
 # Every customer, with its representative where it has one.
 Q("role", "Report the account representative for each customer.",
   f"SELECT c.customerName, {EMP_NAME} FROM customers c LEFT JOIN employees e "
   "ON e.employeeNumber = c.salesRepEmployeeNumber", "rows"),
 Q("money", "Report total payments for Atelier graphique.",
   "SELECT SUM(p.amount) FROM payments p JOIN customers c ON c.customerNumber = p.customerNumber "
   "WHERE c.customerName = 'Atelier graphique'", "number"),
 Q("no match", "Report the products that have not been sold.",
   "SELECT productName FROM products p WHERE NOT EXISTS (SELECT 1 FROM orderdetails d "
   "WHERE d.productCode = p.productCode)", "list", PRODUCTS),
 Q("two dates", "List all orders that shipped after the required date.",
   "SELECT orderNumber FROM orders WHERE shippedDate > requiredDate", "list", ORDERS),
 Q("count filtered", "How many orders have been placed by Herkku Gifts?",
   "SELECT COUNT(*) FROM orders o JOIN customers c ON c.customerNumber = o.customerNumber "
   "WHERE c.customerName = 'Herkku Gifts'", "number"),
 Q("money", "Report those payments greater than $100,000, sorted so that the customer who made the highest payment "
   "appears first.",
   "SELECT c.customerName, p.amount FROM payments p JOIN customers c ON c.customerNumber = p.customerNumber "
   "WHERE p.amount > 100000 ORDER BY p.amount DESC", "rows", CUSTOMERS),
 Q("decline", "List products that we need to reorder.", "", "decline"),
 Q("group", "Report the number of orders 'On Hold' for each customer.",
   "SELECT c.customerName, COUNT(*) FROM orders o JOIN customers c ON c.customerNumber = o.customerNumber "
   "WHERE o.status = 'On Hold' GROUP BY c.customerNumber, c.customerName", "groups"),
 Q("role", "Who is at the top of the organization (i.e., reports to no one)?",
   f"SELECT {EMP_NAME} FROM employees e WHERE e.reportsTo IS NULL", "entity", EMPLOYEES),
 Q("role", "Who reports to William Patterson?",
   f"SELECT {EMP_NAME} FROM employees e JOIN employees m ON m.employeeNumber = e.reportsTo "
   "WHERE m.firstName = 'William' AND m.lastName = 'Patterson'", "list", EMPLOYEES),
 Q("money", "List all payments greater than twice the average payment.",
   "SELECT c.customerName, p.amount FROM payments p JOIN customers c ON c.customerNumber = p.customerNumber "
   "WHERE p.amount > 2 * (SELECT AVG(amount) FROM payments)", "rows", CUSTOMERS),
 Q("share", "What is the average percentage markup of the MSRP on buyPrice?",
   "SELECT AVG(100 * (MSRP - buyPrice) / buyPrice) FROM products", "number"),
 Q("same column", "Report the number of customers in Denmark, Norway, and Sweden.",
   f"SELECT {COUNTRY}, COUNT(*) FROM customers c WHERE c.country IN ('Denmark', 'Norway', 'Sweden') "
   f"GROUP BY {COUNTRY}", "groups"),
 Q("text", "Which customers have a digit in their name?",
   "SELECT customerName FROM customers WHERE customerName REGEXP '[0-9]'", "list", CUSTOMERS),
 Q("decline", "Who is the northernmost customer?", "", "decline"),
 Q("group", "List all offices and the number of employees working in each office.",
   "SELECT o.city, COUNT(*) FROM offices o JOIN employees e ON e.officeCode = o.officeCode GROUP BY o.officeCode, o.city",
   "groups"),
 Q("role", "Create a report showing how many customers each sales rep has.",
   f"SELECT {EMP_NAME}, COUNT(*) FROM employees e JOIN customers c ON c.salesRepEmployeeNumber = e.employeeNumber "
   "GROUP BY e.employeeNumber", "groups"),
 Q("role", "Which office has the most customers?",
   "SELECT o.city FROM offices o JOIN employees e ON e.officeCode = o.officeCode JOIN customers c "
   "ON c.salesRepEmployeeNumber = e.employeeNumber GROUP BY o.officeCode, o.city HAVING COUNT(*) = "
   "(SELECT MAX(n) FROM (SELECT COUNT(*) n FROM employees e JOIN customers c ON c.salesRepEmployeeNumber = "
   "e.employeeNumber GROUP BY e.officeCode) t)", "entity", "SELECT city FROM offices"),
 Q("average per group", "Get the average customer credit limit for each country.",
   f"SELECT {COUNTRY}, AVG(c.creditLimit) FROM customers c GROUP BY {COUNTRY}", "groups"),
 Q("date", "List the order dates in descending order for orders for the 1940 Ford Pickup Truck.",
   "SELECT o.orderDate FROM orders o JOIN orderdetails d ON d.orderNumber = o.orderNumber JOIN products p "
   "ON p.productCode = d.productCode WHERE p.productName = '1940 Ford Pickup Truck' ORDER BY o.orderDate DESC", "rows"),
 Q("money", "List the names of customers and their corresponding order number where a particular order from that "
   "customer has a value greater than $25,000.",
   f"SELECT c.customerName, o.orderNumber, SUM({LINE}) v FROM customers c JOIN orders o "
   "ON o.customerNumber = c.customerNumber JOIN orderdetails d ON d.orderNumber = o.orderNumber "
   "GROUP BY o.orderNumber HAVING v > 25000", "rows", CUSTOMERS),
 Q("yes or no", "Are there any products that appear on all orders?",
   "SELECT IF(EXISTS (SELECT 1 FROM orderdetails GROUP BY productCode HAVING COUNT(DISTINCT orderNumber) = "
   "(SELECT COUNT(*) FROM orders)), 'yes', 'no')", "entity", YES_NO),
 Q("price", "List the names of products sold at less than 80% of the MSRP.",
   "SELECT DISTINCT p.productName FROM products p JOIN orderdetails d ON d.productCode = p.productCode "
   "WHERE d.priceEach < 0.8 * p.MSRP", "list", PRODUCTS),
 Q("date", "List the products ordered on a Monday.",
   "SELECT DISTINCT p.productName FROM products p JOIN orderdetails d ON d.productCode = p.productCode "
   "JOIN orders o ON o.orderNumber = d.orderNumber WHERE DAYOFWEEK(o.orderDate) = 2", "list", PRODUCTS),
 Q("decline", "Which customers are closest to the Tokyo office (i.e., closer to Tokyo than to any other office)?", "",
   "decline"),
 Q("two dates", "What is the value of orders shipped in August 2004?",
   f"SELECT SUM({LINE}) FROM orders o JOIN orderdetails d ON d.orderNumber = o.orderNumber "
   "WHERE o.shippedDate >= '2004-08-01' AND o.shippedDate < '2004-09-01'", "number"),
 Q("role", "Compute the revenue generated by each sales representative based on the orders from the customers they "
   "serve.",
   f"SELECT {EMP_NAME}, SUM({LINE}) FROM employees e JOIN customers c ON c.salesRepEmployeeNumber = e.employeeNumber "
   "JOIN orders o ON o.customerNumber = c.customerNumber JOIN orderdetails d ON d.orderNumber = o.orderNumber "
   "GROUP BY e.employeeNumber", "groups"),
 Q("money", "Compute the profit generated by each product line, sorted by profit descending.",
   "SELECT p.productLine, SUM(d.quantityOrdered * (d.priceEach - p.buyPrice)) s FROM products p JOIN orderdetails d "
   "ON d.productCode = p.productCode GROUP BY p.productLine ORDER BY s DESC", "groups"),
 Q("no match", "Find the customers without payments in 2003.",
   "SELECT customerName FROM customers c WHERE NOT EXISTS (SELECT 1 FROM payments p "
   "WHERE p.customerNumber = c.customerNumber AND YEAR(p.paymentDate) = 2003)", "list", CUSTOMERS),
]

OWN = [
 Q("count", "How many customers are there?", "SELECT COUNT(*) FROM customers", "number"),
 Q("count filtered", "How many customers are based in France?",
   "SELECT COUNT(*) FROM customers WHERE country = 'France'", "number"),
 Q("same column", "How many customers are in Madrid?", "SELECT COUNT(*) FROM customers WHERE city = 'Madrid'", "number"),
 Q("same column", "In which city is Gerard Hernandez's office?",
   "SELECT o.city FROM offices o JOIN employees e ON e.officeCode = o.officeCode "
   "WHERE e.firstName = 'Gerard' AND e.lastName = 'Hernandez'", "entity", "SELECT city FROM offices"),
 Q("role", "How many customers does Leslie Jennings look after?",
   "SELECT COUNT(*) FROM customers c JOIN employees e ON e.employeeNumber = c.salesRepEmployeeNumber "
   "WHERE e.firstName = 'Leslie' AND e.lastName = 'Jennings'", "number"),
 Q("role", "Who is Leslie Jennings's manager?",
   f"SELECT {EMP_NAME} FROM employees e JOIN employees r ON r.reportsTo = e.employeeNumber "
   "WHERE r.firstName = 'Leslie' AND r.lastName = 'Jennings'", "entity", EMPLOYEES),
 Q("role", "Who is the sales rep of Mini Gifts Distributors Ltd.?",
   f"SELECT {EMP_NAME} FROM employees e JOIN customers c ON c.salesRepEmployeeNumber = e.employeeNumber "
   "WHERE c.customerName = 'Mini Gifts Distributors Ltd.'", "entity", EMPLOYEES),
 Q("role", "How many employees are sales reps?", "SELECT COUNT(*) FROM employees WHERE jobTitle = 'Sales Rep'",
   "number"),
 Q("role", "What is Mary Patterson's job title?",
   "SELECT jobTitle FROM employees WHERE firstName = 'Mary' AND lastName = 'Patterson'",
   "entity", "SELECT DISTINCT jobTitle FROM employees"),
 Q("people", "How many customers does Pamela look after?",
   "SELECT COUNT(*) FROM customers c JOIN employees e ON e.employeeNumber = c.salesRepEmployeeNumber "
   "WHERE e.firstName = 'Pamela'", "number"),
 Q("people", "How many orders has the customer whose contact is Jean King placed?",
   "SELECT COUNT(*) FROM orders o JOIN customers c ON c.customerNumber = o.customerNumber "
   "WHERE TRIM(c.contactFirstName) = 'Jean' AND c.contactLastName = 'King'", "number"),
 Q("sold", "How many units of the 1940 Ford Pickup Truck have been sold?",
   "SELECT SUM(d.quantityOrdered) FROM orderdetails d JOIN products p ON p.productCode = d.productCode "
   "WHERE p.productName = '1940 Ford Pickup Truck'", "number"),
 Q("sold", "What were total sales in 2004?",
   f"SELECT SUM({LINE}) FROM orderdetails d JOIN orders o ON o.orderNumber = d.orderNumber "
   "WHERE YEAR(o.orderDate) = 2004", "number"),
 Q("sold", "Which product line brings in the most revenue?",
   f"SELECT p.productLine FROM products p JOIN orderdetails d ON d.productCode = p.productCode GROUP BY p.productLine "
   f"HAVING SUM({LINE}) = (SELECT MAX(s) FROM (SELECT SUM({LINE}) s FROM products p JOIN orderdetails d "
   "ON d.productCode = p.productCode GROUP BY p.productLine) t)", "entity", LINES),
 # The grain rule: a filter on the lines (a product line) takes the lines' amount.
 Q("sold", "What is the revenue from Motorcycles?",
   f"SELECT SUM({LINE}) FROM orderdetails d JOIN products p ON p.productCode = d.productCode "
   "WHERE p.productLine = 'Motorcycles'", "number"),
 Q("sold", "Which customer spent the most?",
   f"SELECT c.customerName FROM customers c JOIN orders o ON o.customerNumber = c.customerNumber JOIN orderdetails d "
   f"ON d.orderNumber = o.orderNumber GROUP BY c.customerNumber HAVING SUM({LINE}) = (SELECT MAX(s) FROM "
   f"(SELECT SUM({LINE}) s FROM orders o JOIN orderdetails d ON d.orderNumber = o.orderNumber "
   "GROUP BY o.customerNumber) t)", "entity", CUSTOMERS),
 Q("per year", "What was the revenue by year?",
   f"SELECT YEAR(o.orderDate), SUM({LINE}) FROM orders o JOIN orderdetails d ON d.orderNumber = o.orderNumber "
   "GROUP BY YEAR(o.orderDate)", "groups"),
 Q("per month", "How many orders were placed per month in 2004?",
   "SELECT DATE_FORMAT(orderDate, '%Y-%m'), COUNT(*) FROM orders WHERE YEAR(orderDate) = 2004 "
   "GROUP BY DATE_FORMAT(orderDate, '%Y-%m')", "groups"),
 Q("two dates", "How many orders were shipped in 2005?", "SELECT COUNT(*) FROM orders WHERE YEAR(shippedDate) = 2005",
   "number"),
 Q("two dates", "When was order 10100 shipped?", "SELECT shippedDate FROM orders WHERE orderNumber = 10100", "rows"),
 Q("share", "What share of orders were cancelled?",
   "SELECT 100 * SUM(status = 'Cancelled') / COUNT(*) FROM orders", "number"),
 Q("nth", "Which product has the second highest MSRP?",
   "SELECT productName FROM products WHERE MSRP = (SELECT DISTINCT MSRP FROM products ORDER BY MSRP DESC "
   "LIMIT 1 OFFSET 1)", "entity", PRODUCTS),
 Q("top by count", "Which two customers placed the most orders?",
   "SELECT c.customerName, COUNT(*) n FROM customers c JOIN orders o ON o.customerNumber = c.customerNumber "
   "GROUP BY c.customerNumber HAVING n >= (SELECT COUNT(*) FROM orders GROUP BY customerNumber ORDER BY 1 DESC "
   "LIMIT 1 OFFSET 1) ORDER BY n DESC", "rows", CUSTOMERS),
 Q("average per group", "What is the average buy price per product line?",
   "SELECT productLine, AVG(buyPrice) FROM products GROUP BY productLine", "groups"),
 Q("price", "What is the buy price of the 1952 Alpine Renault 1300?",
   "SELECT buyPrice FROM products WHERE productName = '1952 Alpine Renault 1300'", "number"),
 Q("price", "How many units of the 1969 Harley Davidson Ultimate Chopper are in stock?",
   "SELECT quantityInStock FROM products WHERE productName = '1969 Harley Davidson Ultimate Chopper'", "number"),
 Q("compare", "Which customers have a credit limit above 200000?",
   "SELECT customerName FROM customers WHERE creditLimit > 200000", "list", CUSTOMERS),
 Q("decline", "How old is Diane Murphy?", "", "decline"),
 Q("decline", "What is Leslie Jennings's salary?", "", "decline"),
 Q("decline", "How many products were returned?", "", "decline"),
 Q("decline", "What is the weight of the 1952 Alpine Renault 1300?", "", "decline"),
]

ROWS = PUBLIC + OWN
